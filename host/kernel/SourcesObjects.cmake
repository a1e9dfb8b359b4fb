# The object manager, system threads, process attach and user-mode events.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/Objects.cpp
    kernel/ObjectsHandleCalls.cpp
    kernel/ObjectsProcesses.cpp
    kernel/ProcessAttach.cpp
    kernel/SystemThread.cpp
    kernel/UserEvents.cpp
)
