# Property and event-enable requests as user mode may send them to a filter of the host
# port-class library (served by the fake adapter of the library's tests).
conduit_add_fuzzer(fuzz_filter_requests SOURCES
    PropertyFuzzer.cpp
    ../host/portcls/FakeMiniport.cpp
    LIBRARIES conduit_test_support GTest::gtest)
target_include_directories(fuzz_filter_requests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../host/portcls)
