# Tests of the host kernel's pool, spin locks, version, debugger, clocks and memory routines.
conduit_add_gtest(host_pool_tests SOURCES PoolTest.cpp SpinLockTest.cpp KernelServicesTest.cpp)
