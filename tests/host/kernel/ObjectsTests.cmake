# Tests of the object manager, system threads, process attach and user-mode events. The echo
# driver serves the file-reference case.
conduit_add_gtest(host_objects_tests SOURCES
    EchoDriver.cpp
    ObjectReferenceTest.cpp
    ProcessAttachTest.cpp
    SystemThreadTest.cpp
    UserEventTest.cpp)
target_include_directories(host_objects_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
set_target_properties(host_objects_tests PROPERTIES ENABLE_EXPORTS ON)
