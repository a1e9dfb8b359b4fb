# Fresh driver-image copies for loads and integration tests.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/DriverImage.cpp
)
