# The support library's core: lists, locks, memory and start-up.
conduit_add_gtest(support_core_tests SOURCES ListTest.cpp LockTest.cpp StartupTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
