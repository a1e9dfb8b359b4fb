// Construction and destruction of a direction's engine.
#include "TransportChannel.h"

#include "adapter/DriverEntry.h"
#include "audio/MiniportTopology.h"
#include "audio/MiniportWaveRT.h"
#include "transport/EndpointPropertyWriter.h"
#include "transport/TransportEndpoint.h"

namespace {
// The device format a channel offers until its client chooses one.
constexpr DeviceFormat StartupFormat = {384000, 32, 8, 4, 0x63F};
constexpr ULONG StartupLatencyFrames = 960;
} // namespace

TransportChannel::TransportChannel(bool renderFlag, TransportEndpoint* endpoint)
    : renderFlag(renderFlag), endpoint(endpoint), waveMiniport(nullptr), topologyMiniport(nullptr),
      currentFormat(StartupFormat), pendingFormat{0, 0, 0, 0, 0}, latency(StartupLatencyFrames),
      pendingLatency(0), controlBlock(nullptr), workerHandle(nullptr), workerThread(nullptr),
      stopFlag(false), handshakeCount(0), packetErrorCount(0) {
    KeInitializeEvent(&tickEvent, SynchronizationEvent, FALSE);
}

// Stops the worker (waiting for its end), then releases the miniports: the topology miniport
// first, then the WaveRT miniport.
TransportChannel::~TransportChannel() {
    StopWorker(this);
    if (topologyMiniport != nullptr) {
        topologyMiniport->MiniportInterface()->Release();
        topologyMiniport = nullptr;
    }
    if (waveMiniport != nullptr) {
        waveMiniport->MiniportInterface()->Release();
        waveMiniport = nullptr;
    }
}

NTSTATUS StartChannel(TransportChannel* channel, PIRP startIrp, const SubdeviceOwner& owner) {
    channel->controlBlock = channel->endpoint->ControlBlock();
    NTSTATUS status = CreateTopologySubdevice(channel, startIrp, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateWaveSubdevice(channel, startIrp, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RegisterChannelConnection(channel, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Last: the worker ticks the stream only once the filters are registered and connected.
    return StartWorker(channel);
}

VOID RaiseJackChange(TransportChannel* channel) {
    if (channel->topologyMiniport != nullptr) {
        channel->topologyMiniport->GenerateJackInfoChange();
    }
}

bool HasActiveStream(TransportChannel* channel) {
    return channel->waveMiniport != nullptr && channel->waveMiniport->currentStream != nullptr;
}

VOID RaiseFormatChange(TransportChannel* channel) {
    if (channel->waveMiniport != nullptr) {
        channel->waveMiniport->GenerateFormatChangeEvent();
    }
}

NTSTATUS WriteEndpointFormat(TransportChannel* channel) {
    CMiniportWaveRT* miniport = channel->waveMiniport;
    DriverContext* context = PublishedDriverContext();
    if (miniport == nullptr || context == nullptr) {
        return STATUS_INVALID_DEVICE_STATE; // no WaveRT filter: no endpoint can name it
    }
    const DeviceFormat& format = channel->currentFormat;
    return WriteEndpointFormatFor(&context->interfaceLinkName, miniport->isCapture ? TRUE : FALSE,
                                  miniport->subdeviceName, format.SampleRate, format.BitsPerSample,
                                  format.Channels, format.ContainerBytes, format.ChannelMask);
}
