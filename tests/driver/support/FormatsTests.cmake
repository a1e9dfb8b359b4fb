# Wave format records, data-format blocks and attribute lists.
conduit_add_gtest(support_formats_tests
    SOURCES WaveFormatTests.cpp DataFormatTests.cpp AttributeListTests.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
