# Property and event-enable requests as user mode may send them to a filter of the host
# port-class library (served by the fake adapter of the library's tests).
conduit_add_fuzzer(fuzz_filter_requests SOURCES
    PropertyFuzzer.cpp
    ../host/portcls/FakeMiniport.cpp
    LIBRARIES conduit_test_support GTest::gtest)
target_include_directories(fuzz_filter_requests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../host/portcls)

# The same requests sent to the driver's own four filters, the driver loaded and started once.
conduit_add_fuzzer(fuzz_driver_filter_requests SOURCES DriverFilterFuzzer.cpp
    LIBRARIES conduit_driver_test_support GTest::gtest)
# The driver is built without RTTI, so the sanitizer's dynamic-type check finds no type
# information for its classes where the host library and the fixture reach them.
target_compile_options(conduit_host PRIVATE -fno-sanitize=vptr)
target_compile_options(conduit_driver_test_support PRIVATE -fno-sanitize=vptr)
target_compile_options(fuzz_driver_filter_requests PRIVATE -fno-sanitize=vptr)
