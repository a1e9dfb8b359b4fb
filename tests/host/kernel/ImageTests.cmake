# Fresh driver-image copies.
conduit_add_gtest(host_image_tests SOURCES DriverImageTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
