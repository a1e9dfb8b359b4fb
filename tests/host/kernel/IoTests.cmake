# Tests of the host I/O manager, user-mode file calls, PnP and the port-class frame.
conduit_add_gtest(host_io_tests SOURCES
    EchoDriver.cpp
    IoRequestTest.cpp
    UserModeTest.cpp
    RtlUnicodeTest.cpp)
conduit_add_gtest(host_portcls_tests SOURCES
    ../portcls/PortClassTest.cpp)
target_include_directories(host_io_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
