// The subject: the unchanged driver image loaded and started in a fresh host machine, a client
// process connected through the client library, and an engine process whose thread waits on a
// notification event registered with the driver's render stream. Each call below is one
// measured step of the real path; the driver's own threads do the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FutexEvent.h"

namespace host {
class Machine;
class Process;
} // namespace host
namespace conduit {
class HostBackend;
class Connection;
namespace tool {
class HostDriver;
}
} // namespace conduit

namespace bench {

class PinEngine;

class DriverRig {
public:
    DriverRig();
    ~DriverRig();
    DriverRig(const DriverRig&) = delete;
    DriverRig& operator=(const DriverRig&) = delete;

    // Loads a fresh image, starts the device, connects the client (48 kHz, 16-bit stereo) and
    // starts the client's handshake answerer. False with *error set on failure.
    // image: the driver image to load (empty: the host build's own).
    bool Start(const std::string& image, std::string* error);
    // Creates the render stream with a two-period notification buffer of framesPerPeriod
    // frames per period, registers the engine's event and runs the stream.
    bool OpenStream(std::uint32_t framesPerPeriod, std::string* error);
    // Steps the stream down to stop and releases it.
    bool CloseStream(std::string* error);
    // Stops the threads, ends the processes, unloads the driver; the verifier's findings.
    std::vector<std::string> Shutdown();

    // How the engine side reaches the stream.
    std::string EnginePath() const;

    // Figure 1: the client moves its position one period on and asks for a tick; nanoseconds
    // until the engine's wait on its notification event returns. Negative on failure.
    double TickOneWay();
    // Figure 2: one state change (run to pause or back) as the engine requests it; nanoseconds
    // for the whole request, whose handshake waits for the client's answer. Negative on failure.
    double StateChange();
    // Figure 3: one paced period: position on, tick asked, no wait.
    bool PacedTick();
    // After state changes: back to run if the last one left the stream paused.
    bool EnsureRunning();
    // After paced ticks: waits until the engine has seen them, then drops stale completions.
    void Drain();

    std::uint64_t failures() const { return failures_; }
    // Whether TickOneWay and StateChange take the time (the counting run counts the operations
    // alone, and they then return 0).
    void SetTimed(bool timed) { timed_ = timed; }

private:
    void Answerer();
    void EngineWaiter();
    bool AdvanceAndTick(std::uint64_t* sentNs);

    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<conduit::tool::HostDriver> driver_;
    host::Process* clientProcess_ = nullptr;
    host::Process* engineProcess_ = nullptr;
    std::unique_ptr<conduit::HostBackend> backend_;
    std::unique_ptr<conduit::Connection> connection_;
    std::unique_ptr<PinEngine> engine_;

    std::uint32_t framesPerPeriod_ = 0;
    std::uint32_t bufferFrames_ = 0;
    std::uint32_t position_ = 0;
    std::uint64_t failures_ = 0;

    std::atomic<bool> timed_{true};
    std::atomic<bool> stop_{false};
    std::atomic<bool> streamStop_{false};
    void* notifyEvent_ = nullptr; // the engine process's event handle
    bool runNext_ = false;        // the next state change goes back to run
    std::thread answerer_;
    std::thread engineWaiter_;
    FutexEvent done_;
    std::atomic<std::uint64_t> wokeNs_{0};
    std::uint64_t sent_ = 0;
    std::atomic<std::uint64_t> woken_{0};
};

} // namespace bench
