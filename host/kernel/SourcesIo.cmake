# Sources of the host I/O manager, processes and handles, user-mode I/O and PnP.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/DeviceInterfaces.cpp
    kernel/Handles.cpp
    kernel/IoObjects.cpp
    kernel/IoRequests.cpp
    kernel/IrpPool.cpp
    kernel/Pnp.cpp
    kernel/RtlUnicode.cpp
    kernel/UserMode.cpp
)
