// The per-direction engine between the port-class audio device of one direction and the client
// of that direction: device format and latency, the links to the direction's miniports, the two
// locks of the direction, the worker thread and the handshake with the client.
#pragma once

#include "platform/AudioHeaders.h"
#include "audio/Subdevices.h"
#include "support/Locks.h"
#include "transport/HandshakeLatch.h"
#include "transport/TransportProtocol.h"

class TransportEndpoint;
class CMiniportWaveRT;
class CMiniportTopology;
class CMiniportWaveRTStream;

// The five values of a device format, in control-block order.
struct DeviceFormat {
    ULONG SampleRate;
    ULONG BitsPerSample;
    ULONG Channels;
    ULONG ContainerBytes;
    ULONG ChannelMask;
};

class TransportChannel {
public:
    TransportChannel(bool renderFlag, TransportEndpoint* endpoint);
    ~TransportChannel();
    TransportChannel(const TransportChannel&) = delete;
    TransportChannel& operator=(const TransportChannel&) = delete;

    // True for the Render channel, whose filters are the system's capture filters.
    const bool renderFlag;
    TransportEndpoint* const endpoint;

    CMiniportWaveRT* waveMiniport;       // one counted reference, from device start
    CMiniportTopology* topologyMiniport; // one counted reference, from device start

    DeviceFormat currentFormat; // the one format the WaveRT filter offers
    DeviceFormat pendingFormat; // set while a stream exists; set when its SampleRate is not 0
    ULONG latency;              // least length of a stream's buffer, in frames
    ULONG pendingLatency;

    // System address of the control block, copied from the endpoint at device start.
    transport::TransportControlBlock* controlBlock;

    HANDLE workerHandle;
    PETHREAD workerThread; // referenced, for waiting on the worker's end
    bool stopFlag;
    KEVENT tickEvent; // auto-reset: wakes the worker for one tick

    // Guards format, latency, the stream link, stream operations, handshakes and ticks. Taken
    // before EndpointLock.
    RecursiveMutex ChannelLock;
    // Guards the endpoint's client file, mappings and event, and the shared memory.
    RecursiveMutex EndpointLock;

    HandshakeLatch latch;  // where the handshake waiting now learns its answer
    ULONG handshakeCount;  // the latest handshake's number; changed under ChannelLock
    LONG packetErrorCount; // out-of-sequence write packets over all streams
};

// A channel's start: links its endpoint's control block, creates and registers the topology and
// WaveRT subdevices, connects them, and starts the worker. The first failure is returned and
// what was built stays until the channel is destroyed.
NTSTATUS StartChannel(TransportChannel* channel, PIRP startIrp, const SubdeviceOwner& owner);

// Raises the jack-information change on the direction's topology filter, whose jack reports
// whether a client is connected (nothing while the topology miniport does not exist).
VOID RaiseJackChange(TransportChannel* channel);

// True while the direction's WaveRT miniport has a live stream (the stream link is set).
bool HasActiveStream(TransportChannel* channel);
// Has the WaveRT filter raise the pin format-change event after a new device format.
VOID RaiseFormatChange(TransportChannel* channel);
// Writes the current format into the endpoints the channel's WaveRT filter serves.
NTSTATUS WriteEndpointFormat(TransportChannel* channel);

// The engine: the worker thread that turns the client's tick requests into stream ticks, and
// the handshake through which every change the client must follow waits for its answer.
NTSTATUS StartWorker(TransportChannel* channel);
VOID StopWorker(TransportChannel* channel);
// The caller holds ChannelLock and has written what the client must see. Succeeds only with an
// answer of success to this handshake; ends at once when the client's file is cleaned up.
NTSTATUS Handshake(TransportChannel* channel);
// The client's file is going: a handshake that waits for it ends now.
VOID AbandonHandshake(TransportChannel* channel);
// Sets the client's event under EndpointLock; false when none is registered.
bool SignalClient(TransportChannel* channel);
// One tick of the stream, if any. The worker holds ChannelLock.
VOID ChannelTick(TransportChannel* channel);
// Links a stream whose format was accepted into the direction's WaveRT miniport and tells the
// client a stream is open. The caller holds ChannelLock.
VOID AttachStream(TransportChannel* channel, CMiniportWaveRTStream* stream);
// Tells the client the stream is gone (handshaken, result ignored) and clears the link. The
// caller holds ChannelLock.
VOID DetachStream(TransportChannel* channel);
// The caller holds ChannelLock and has validated the mask.
VOID SetChannelMask(TransportChannel* channel, ULONG mask);
// Whether a wave format (plain or extensible) is the device format. STATUS_SUCCESS,
// STATUS_INVALID_PARAMETER (not a valid format) or STATUS_NO_MATCH.
NTSTATUS MatchDeviceFormat(TransportChannel* channel, const WAVEFORMATEXTENSIBLE* format);
