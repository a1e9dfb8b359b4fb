// How the engine side of the benchmark reaches the driver's render stream: creating it with a
// notification buffer, registering the engine's event, changing its state and releasing it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <ntddk.h>

#include <portcls.h>

namespace host {
class Process;
}
class TransportChannel;

namespace bench {

class EngineSide {
public:
    virtual ~EngineSide() = default;
    // One line for the report: the path the engine's requests take.
    virtual std::string Describe() const = 0;
    // Creates the stream (48 kHz, 16-bit stereo) with a buffer of two periods of
    // framesPerPeriod frames, registers notifyEvent (a handle of the engine process) and runs
    // the stream.
    virtual bool Open(std::uint32_t framesPerPeriod, HANDLE notifyEvent, std::string* error) = 0;
    // One state request, as the engine sends it; the driver's answer.
    virtual NTSTATUS SetState(KSSTATE state) = 0;
    // Stops the stream one state at a time, unregisters the event and releases the stream.
    virtual bool Close(std::string* error) = 0;
    // The last Open failed because the host refused to create a pin at all.
    virtual bool PinRefused() const { return false; }
};

// The audio engine's own path: kernel-streaming requests from the engine process to a pin of
// the render wave filter (filter open, pin create, buffer with notification, event
// registration, state properties).
std::unique_ptr<EngineSide> MakePinEngine(host::Process& engineProcess);

// The engine calls the driver's miniport stream the way the port-class library does, through
// a stand-in for the port's stream object: the driver, its worker and the client path are the
// real ones; only the kernel-streaming dispatch in front of the stream is left out.
std::unique_ptr<EngineSide> MakeDirectStreamEngine(host::Process& engineProcess,
                                                   TransportChannel& channel);

} // namespace bench
