// The per-direction engine between the port-class audio device of one direction and the client
// of that direction: device format and latency, the links to the direction's filters and live
// stream, the two locks of the direction, the worker thread and the handshake with the client.
#pragma once

#include "platform/AudioHeaders.h"
#include "support/Locks.h"
#include "transport/ChannelListeners.h"
#include "transport/HandshakeLatch.h"
#include "transport/TransportProtocol.h"

class TransportEndpoint;

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

    // What the channel knows of its direction's audio objects, from StartChannel on: their
    // events, and the names the endpoint property writer finds the endpoints by.
    FilterEvents* filters;
    PCUNICODE_STRING interfaceLinkName; // the private interface's link, owned by the driver
    PCWSTR waveSubdeviceName;           // the reference string of the WaveRT filter
    LiveStream* liveStream;             // the stream whose format was accepted; under ChannelLock

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

// A channel's start, once its direction's filters are registered and connected: links its
// endpoint's control block, the filters' events and names, and starts the worker last, so that
// it never ticks a stream of unregistered filters.
NTSTATUS StartChannel(TransportChannel* channel, FilterEvents* filters, PCUNICODE_STRING linkName,
                      PCWSTR waveSubdeviceName);

// Raises the jack-information change on the direction's topology filter, whose jack reports
// whether a client is connected (nothing before StartChannel).
VOID RaiseJackChange(TransportChannel* channel);

// True while the direction has a live stream (the stream link is set).
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
// Sets the client's event; false when none is registered.
bool SignalClient(TransportChannel* channel);
// One tick of the stream, if any. The worker holds ChannelLock.
VOID ChannelTick(TransportChannel* channel);
// Links a stream whose format was accepted into the channel and tells the client a stream is
// open. The caller holds ChannelLock.
VOID AttachStream(TransportChannel* channel, LiveStream* stream);
// Tells the client the stream is gone (handshaken, result ignored) and clears the link. The
// caller holds ChannelLock.
VOID DetachStream(TransportChannel* channel);
// The caller holds ChannelLock and has validated the mask.
VOID SetChannelMask(TransportChannel* channel, ULONG mask);
// Whether a wave format (plain or extensible) is the device format. STATUS_SUCCESS,
// STATUS_INVALID_PARAMETER (not a valid format) or STATUS_NO_MATCH.
NTSTATUS MatchDeviceFormat(TransportChannel* channel, const WAVEFORMATEXTENSIBLE* format);
