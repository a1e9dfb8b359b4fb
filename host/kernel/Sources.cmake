# Sources of the host kernel core, relative to host/.
set(CONDUIT_HOST_KERNEL_SOURCES
    kernel/Machine.cpp
)
