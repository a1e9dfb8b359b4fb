# Sources of the host port-class library, relative to host/.
set(CONDUIT_HOST_PORTCLS_SOURCES
    portcls/AdapterDriver.cpp
    portcls/AutomationProperties.cpp
    portcls/DispatchIrp.cpp
    portcls/EndpointBuilder.cpp
    portcls/FilterFile.cpp
    portcls/Guids.cpp
    portcls/PinProperties.cpp
    portcls/Port.cpp
    portcls/PortClass.cpp
    portcls/PowerManagement.cpp
    portcls/ResourceList.cpp
    portcls/Subdevices.cpp
)
