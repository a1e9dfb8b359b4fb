# Sources of the audio device model, relative to driver/.
set(CONDUIT_AUDIO_SOURCES
    audio/MiniportTopology.cpp
    audio/MiniportWaveRT.cpp
    audio/MiniportWaveRTStream.cpp
    audio/PacketConstraints.cpp
    audio/StreamPositions.cpp
    audio/WaveRTPackets.cpp
    audio/PropertyRoutines.cpp
    audio/Subdevices.cpp
    audio/TopologyDescriptors.cpp
    audio/WaveRTDescriptors.cpp
    audio/WaveRTProperties.cpp
)
