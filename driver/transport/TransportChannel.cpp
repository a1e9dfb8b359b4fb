// Construction and destruction of a direction's engine.
#include "TransportChannel.h"

#include "transport/TransportEndpoint.h"

namespace {
// The device format a channel offers until its client chooses one.
constexpr DeviceFormat StartupFormat = {384000, 32, 8, 4, 0x63F};
constexpr ULONG StartupLatencyFrames = 960;
} // namespace

TransportChannel::TransportChannel(bool renderFlag, TransportEndpoint* endpoint)
    : renderFlag(renderFlag), endpoint(endpoint), waveMiniport(nullptr),
      topologyMiniport(nullptr), currentFormat(StartupFormat), pendingFormat{0, 0, 0, 0, 0},
      latency(StartupLatencyFrames), pendingLatency(0), controlBlock(nullptr),
      workerHandle(nullptr), workerThread(nullptr), stopFlag(false), packetErrorCount(0) {
    KeInitializeEvent(&tickEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&acknowledgeEvent, SynchronizationEvent, FALSE);
}

// Stops the worker (waiting for its end), then releases the miniports.
TransportChannel::~TransportChannel() { StopWorker(this); }

NTSTATUS StartChannel(TransportChannel* channel, PIRP startIrp) {
    UNREFERENCED_PARAMETER(startIrp);
    channel->controlBlock = channel->endpoint->ControlBlock();
    return StartWorker(channel);
}

VOID RaiseJackChange(TransportChannel* channel) {
    if (channel->topologyMiniport == nullptr) {
        return; // no topology filter registered: nobody to tell
    }
}

bool HasActiveStream(TransportChannel* channel) {
    // The stream link lives in the WaveRT miniport, which arrives with the subdevices; without
    // one there is no stream.
    UNREFERENCED_PARAMETER(channel);
    return false;
}

VOID RaiseFormatChange(TransportChannel* channel) {
    if (channel->waveMiniport == nullptr) {
        return; // no WaveRT filter registered: nobody renegotiates
    }
}
