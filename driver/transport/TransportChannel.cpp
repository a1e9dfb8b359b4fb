// Construction and destruction of a direction's engine.
#include "TransportChannel.h"

#include "support/FormatLimits.h"
#include "transport/EndpointPropertyWriter.h"
#include "transport/TransportEndpoint.h"

namespace {
// The device format a channel offers until its client chooses one: the largest, in 7.1.
constexpr DeviceFormat StartupFormat = {DeviceMaximumSampleRate, DeviceMaximumBits,
                                        DeviceMaximumChannels, DeviceMaximumContainerBytes, 0x63F};
constexpr ULONG StartupLatencyFrames = 960;
} // namespace

TransportChannel::TransportChannel(bool renderFlag, TransportEndpoint* endpoint)
    : renderFlag(renderFlag), endpoint(endpoint), filters(nullptr), interfaceLinkName(nullptr),
      waveSubdeviceName(nullptr), liveStream(nullptr),
      currentFormat(StartupFormat), pendingFormat{0, 0, 0, 0, 0}, latency(StartupLatencyFrames),
      pendingLatency(0), controlBlock(nullptr), workerHandle(nullptr), workerThread(nullptr),
      stopFlag(false), handshakeCount(0), packetErrorCount(0) {
    KeInitializeEvent(&tickEvent, SynchronizationEvent, FALSE);
}

// Stops the worker, waiting for its end: the direction's filters, which the adapter releases
// right after, are never ticked or told of a change again.
TransportChannel::~TransportChannel() {
    StopWorker(this);
}

NTSTATUS StartChannel(TransportChannel* channel, FilterEvents* filters, PCUNICODE_STRING linkName,
                      PCWSTR waveSubdeviceName) {
    channel->controlBlock = channel->endpoint->ControlBlock();
    channel->filters = filters;
    channel->interfaceLinkName = linkName;
    channel->waveSubdeviceName = waveSubdeviceName;
    return StartWorker(channel);
}

VOID RaiseJackChange(TransportChannel* channel) {
    if (channel->filters != nullptr) {
        channel->filters->JackChanged();
    }
}

bool HasActiveStream(TransportChannel* channel) {
    return channel->liveStream != nullptr;
}

VOID RaiseFormatChange(TransportChannel* channel) {
    if (channel->filters != nullptr) {
        channel->filters->FormatChanged();
    }
}

NTSTATUS WriteEndpointFormat(TransportChannel* channel) {
    if (channel->waveSubdeviceName == nullptr || channel->interfaceLinkName == nullptr) {
        return STATUS_INVALID_DEVICE_STATE; // no WaveRT filter: no endpoint can name it
    }
    // The channel's render flag is the filter's capture flag (the client's Render file feeds
    // the system's capture filter).
    const DeviceFormat& format = channel->currentFormat;
    return WriteEndpointFormatFor(channel->interfaceLinkName, channel->renderFlag ? TRUE : FALSE,
                                  channel->waveSubdeviceName, format.SampleRate,
                                  format.BitsPerSample, format.Channels, format.ContainerBytes,
                                  format.ChannelMask);
}
