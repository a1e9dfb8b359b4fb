# Sources of the host port-class library, relative to host/.
set(CONDUIT_HOST_PORTCLS_SOURCES
    portcls/AdapterDriver.cpp
    portcls/DispatchIrp.cpp
    portcls/Guids.cpp
    portcls/PortClass.cpp
    portcls/PowerManagement.cpp
    portcls/ResourceList.cpp
)
