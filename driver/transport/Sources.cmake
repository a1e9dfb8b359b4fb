# Sources of the transport channel, relative to driver/.
set(CONDUIT_TRANSPORT_SOURCES
    transport/EndpointPropertyWriter.cpp
    transport/HandshakeLatch.cpp
    transport/SharedBuffer.cpp
    transport/TransportChannel.cpp
    transport/TransportControl.cpp
    transport/TransportEndpoint.cpp
    transport/TransportEngine.cpp
)
