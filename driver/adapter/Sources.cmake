# Sources of the driver frame, the adapter object and the request routing, relative to driver/.
set(CONDUIT_ADAPTER_SOURCES
    adapter/AdapterCommon.cpp
    adapter/AdapterRouting.cpp
    adapter/DispatchHooks.cpp
    adapter/DriverEntry.cpp
    adapter/UnknownBase.cpp
)
