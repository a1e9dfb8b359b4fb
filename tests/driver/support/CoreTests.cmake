# The support library's core: lists, locks, memory and start-up.
conduit_add_gtest(support_core_tests
    SOURCES ListTest.cpp LockTest.cpp ObservedLocks.cpp StartupTest.cpp
    LIBRARIES conduit_driver conduit_driver_headers)
# The observed locks derive from the driver's lock classes, which carry no type information
# (see ObservedLocks.h); for the same reason the vptr check cannot follow calls into them.
set_source_files_properties(ObservedLocks.cpp PROPERTIES COMPILE_OPTIONS -fno-rtti)
if(CONDUIT_SANITIZE MATCHES "undefined")
    set_source_files_properties(LockTest.cpp PROPERTIES COMPILE_OPTIONS -fno-sanitize=vptr)
endif()
