# Tests of the host port-class library's ports, subdevices and filters, under a fake adapter.
conduit_add_gtest(host_portcls_filter_tests SOURCES
    ../portcls/FakeMiniport.cpp
    ../portcls/SubdeviceTest.cpp
    ../portcls/FilterPropertyTest.cpp
    ../portcls/FilterEventTest.cpp)
