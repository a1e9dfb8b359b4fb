# Pool, spin locks, version, debugger, clocks and run-time memory routines of the host kernel.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/CallStack.cpp
    kernel/Pool.cpp
    kernel/SpinLock.cpp
    kernel/Version.cpp
    kernel/Debugger.cpp
    kernel/Clock.cpp
    kernel/RtlMemory.cpp
)
