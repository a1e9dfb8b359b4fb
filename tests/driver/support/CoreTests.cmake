# The support library's core: lists, locks, memory and start-up.
conduit_add_gtest(support_core_tests
    SOURCES ListTest.cpp LockTest.cpp ObservedLocks.cpp StartupTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
# The observed locks derive from the driver's lock classes (see ObservedLocks.h).
set_source_files_properties(ObservedLocks.cpp PROPERTIES COMPILE_OPTIONS -fno-rtti)
