// The two interfaces through which a channel reaches the audio objects of its direction without
// knowing them: the filters hear that the client changed the jack or the device format, and
// the live stream is ticked by the worker. The audio side implements both.
#pragma once

#include "platform/KernelHeaders.h"

// A direction's filters. Each does nothing while the filter it concerns does not exist.
class FilterEvents {
public:
    // A client connected or went: the topology filter's jack follows it. Under EndpointLock.
    virtual VOID JackChanged() = 0;
    // The device format changed: the WaveRT filter has the audio stack renegotiate. Under
    // ChannelLock.
    virtual VOID FormatChanged() = 0;

protected:
    ~FilterEvents() = default; // never deleted through this interface
};

// The direction's one live stream, linked into the channel while its format is accepted.
class LiveStream {
public:
    // One period of the client's clock: called by the worker with ChannelLock held.
    virtual VOID Tick() = 0;

protected:
    ~LiveStream() = default; // never deleted through this interface
};
