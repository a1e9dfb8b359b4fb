// The engine side of the benchmark: the audio engine's kernel-streaming requests to a pin of
// the render wave filter (filter open, pin create, buffer with notification, event
// registration, state properties), sent from the engine process.
#pragma once

#include <cstdint>
#include <string>

#include <ntddk.h>

#include <ksmedia.h>

namespace host {
class Process;
}

namespace bench {

class PinEngine {
public:
    explicit PinEngine(host::Process& engineProcess) : process_(engineProcess) {}
    ~PinEngine();
    PinEngine(const PinEngine&) = delete;
    PinEngine& operator=(const PinEngine&) = delete;

    // One line for the report: the path the engine's requests take.
    static const char* Describe();

    // Creates the stream (48 kHz, 16-bit stereo) with a buffer of two periods of
    // framesPerPeriod frames, registers notifyEvent (a handle of the engine process) and runs
    // the stream. False with *error set when any step, the pin's creation included, fails.
    bool Open(std::uint32_t framesPerPeriod, HANDLE notifyEvent, std::string* error);
    // One state request, as the engine sends it; the driver's answer.
    NTSTATUS SetState(KSSTATE state);
    // Stops the stream one state at a time, unregisters the event and releases the stream.
    bool Close(std::string* error);

private:
    host::Process& process_;
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    HANDLE event_ = nullptr;
    KSSTATE state_ = KSSTATE_STOP;
};

} // namespace bench
