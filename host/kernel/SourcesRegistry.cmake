# The registry: keys, values, handles and the audio endpoint stores.
list(APPEND CONDUIT_HOST_KERNEL_SOURCES
    kernel/Registry.cpp
    kernel/RegistryCalls.cpp
    kernel/AudioEndpoints.cpp
)
