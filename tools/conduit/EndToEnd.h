// One end-to-end run inside a fresh host machine: the driver started, a client connected in
// both directions through the client library, the simulated audio engine playing into the
// render endpoint ("wave_r") while the client reads it through its Capture file, and the
// client writing through its Render file while the engine records from the capture endpoint
// ("wave_c"). Both received streams come back with the figures of the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "conduit/Client.h"
#include "engine/AudioEngine.h"

namespace conduit::tool {

struct EndToEndOptions {
    host::engine::TransferMode mode = host::engine::TransferMode::Position;
    bool withNotifications = true;
    std::uint32_t notificationCount = 2;
    // What the engine asks for (0: 10 ms); the buffer is at least the client's latency.
    std::uint32_t engineRequestBytes = 0;
    host::engine::FormatSource formatSource = host::engine::FormatSource::Intersection;
    // The engines run in low-latency mode: periods as small as the filters' declared packet-size
    // constraints allow (unless engineRequestBytes asks otherwise).
    bool lowLatency = false;
    // Real time: the client's clock follows the sample rate. Fast: frames are granted as soon
    // as the engine has served the period they would overwrite, so the run goes as fast as
    // the ticks and handshakes allow.
    bool fast = false;
    // Fast runs only: the most frames the client's clock grants at a time (0: no limit).
    // Small grants make the client ask for ticks far faster than the driver's worker drains
    // them, so that ticks coalesce.
    std::uint32_t grantQuantum = 0;
    bool client32Bit = false;
    // The client lets its tick requests coalesce instead of holding at period boundaries.
    bool coalesce = false;
    // Times each engine pauses and resumes its stream, spread evenly over the run.
    std::uint32_t pauses = 0;
    DeviceFormat format{48000, 16, 2, 2, 0};
    std::uint32_t latencyFrames = 960;
    // Frames carried each way. Signals shorter than this are followed by silence; empty
    // signals are generated.
    std::uint64_t frames = 48000;
    std::vector<std::uint8_t> playSignal;   // what the engine plays to the render endpoint
    std::vector<std::uint8_t> recordSignal; // what the client writes for the capture endpoint
    // Called about ten times a second with the fraction done (0..1).
    std::function<void(double)> progress;
    // The driver image to load; empty: the one built with this program.
    std::string imagePath;
    // Longest time without progress before the run gives up.
    std::chrono::milliseconds stallLimit{std::chrono::seconds(10)};
    // Ends the run as soon as an engine loses a period (a glitch or a late packet), for callers
    // that only ask whether a period size is sustained.
    bool stopAtFirstLoss = false;
};

struct LatencyFigures {
    std::uint64_t samples = 0;
    double medianMicroseconds = 0;
    double p99Microseconds = 0;
};

struct DirectionResult {
    std::vector<std::uint8_t> sent;     // exactly the frames of the run
    std::vector<std::uint8_t> received; // the first frames that arrived, cut to the same length
    std::int64_t firstDifferentFrame = -1;
    bool exact() const { return !sent.empty() && firstDifferentFrame < 0; }
    SessionStats session;                // the client's side
    host::engine::EngineCounters engine; // the engine's side
};

struct EndToEndResult {
    bool completed = false; // every step ran; the comparison is in the directions
    std::string failure;    // what stopped the run, when it did not complete
    WAVEFORMATEXTENSIBLE format{};
    std::uint32_t bufferBytes = 0;
    std::uint32_t framesPerPeriod = 0;
    bool notified = false; // the buffer came with notifications (else the engine polled)
    host::engine::DeclaredPeriod declared; // what the render filter declares, as the engine read it
    host::engine::TransferMode mode = host::engine::TransferMode::Position; // as it ran
    std::uint32_t pauses = 0; // pauses both engines made, each resumed
    DirectionResult play;     // engine → render endpoint → client's Capture file
    DirectionResult record;   // client's Render file → capture endpoint → engine
    LatencyFigures tick;      // tick request sent → the engine's wait returns
    LatencyFigures handshake; // one state change or buffer request of the engine, round trip
    // Bytes the driver moved with its copy routines while both streams ran (the audio path),
    // and before and after that (format negotiation, property answers).
    std::uint64_t bytesCopiedByDriver = 0;
    std::uint64_t bytesCopiedOutsideStreaming = 0;
    std::chrono::microseconds elapsed{0};
    std::vector<std::string> verifierProblems;

    bool passed() const {
        return completed && play.exact() && record.exact() && verifierProblems.empty();
    }
};

EndToEndResult RunEndToEnd(const EndToEndOptions& options);

} // namespace conduit::tool
