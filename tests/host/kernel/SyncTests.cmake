# Tests of thread objects, events, mutexes and waits.
conduit_add_gtest(host_sync_tests SOURCES
    SyncEventTest.cpp
    SyncMutexTest.cpp
    SyncWaitTest.cpp
)
