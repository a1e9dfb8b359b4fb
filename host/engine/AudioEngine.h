// The simulated Windows audio engine: a user-mode kernel-streaming client of one WaveRT filter.
// It opens the filter by its reference string, negotiates the device's format, creates the
// streaming pin, allocates the cyclic buffer, runs the stream and moves audio through the
// buffer in position mode or packet mode, paced by the pin's notification events.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <ntddk.h>

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

namespace host {
class Process;
}

namespace host::engine {

// Position mode: the engine follows the stream position. Packet mode: it counts packets
// (notification periods) through the packet properties.
enum class TransferMode { Position, Packet };

// Where the pin's format comes from. Intersection: the device's answer to a data intersection
// (and its proposed format, when it offers one). EndpointStore: the device format stored in the
// endpoint's property store, first offered back with a proposed-format set; the intersection
// when the store holds none or the device refuses it.
enum class FormatSource { Intersection, EndpointStore };

struct EngineOptions {
    // The filter's reference string: "wave_r" (render endpoint) or "wave_c" (capture).
    std::u16string filterName;
    TransferMode mode = TransferMode::Position;
    FormatSource formatSource = FormatSource::Intersection;
    // Ask whether the pin notifies and allocate the buffer with notifications (1 or 2 per
    // buffer) when it does; when it does not, or refuses that allocation, the engine falls back
    // to the plain buffer and polls the position (packet mode then follows the position too).
    // false: the plain buffer from the start.
    bool withNotifications = true;
    std::uint32_t notificationCount = 2;
    // Requested buffer size in bytes, sent as it is (odd sizes included); 0 asks for 10 ms at the
    // negotiated format.
    std::uint32_t requestedBufferBytes = 0;
    // Position mode: read the position register when the pin hands one out; false: always ask
    // for KSPROPERTY_AUDIO_POSITION.
    bool usePositionRegister = true;
    // Low-latency shared mode: unless a size is requested above, ask for periods of the
    // smallest size the filter's declared packet-size constraints allow at the negotiated
    // format; without usable constraints, the default.
    bool lowLatency = false;
};

// The filter's packet-size constraints as the engine found them when it opened the filter.
struct DeclaredPeriod {
    bool declared = false;          // the interface carries a usable record
    ULONG minimumPeriodHns = 0;     // as declared
    std::uint32_t periodFrames = 0; // the smallest period it allows at the format; 0: none
};

// Render: fills frames the engine is about to place in the buffer.
class RenderSource {
public:
    virtual ~RenderSource() = default;
    virtual void Fill(const WAVEFORMATEXTENSIBLE& format, std::uint8_t* bytes,
                      std::uint32_t frames) = 0;
};

// Capture: receives frames the engine has taken out of the buffer.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    virtual void Take(const WAVEFORMATEXTENSIBLE& format, const std::uint8_t* bytes,
                      std::uint32_t frames) = 0;
};

struct EngineCounters {
    std::uint64_t wakeups = 0;     // waits that returned signalled, polls that found a period
    std::uint64_t timeouts = 0;    // waits that ran out
    std::uint64_t periods = 0;     // periods moved into or out of the buffer
    std::uint64_t framesMoved = 0; // frames given to the sink or taken from the source
    std::uint64_t glitches = 0;    // periods the device passed before the engine served them
    std::uint64_t latePackets = 0; // write packets refused as late or early, reads missed
};

// Puts the calling thread where Windows's audio service puts the threads that serve a
// low-latency stream (the multimedia class scheduler's "Pro Audio" task: real-time priority 26,
// below the drivers' workers at 31). On the host that is the round-robin class, when the OS
// grants it; returns whether it did.
bool EnterProAudioClass();

class AudioEngine {
public:
    // The engine runs in process: every user-mode call it makes is made in that process.
    explicit AudioEngine(host::Process& process);
    ~AudioEngine(); // closes whatever is still open
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Opens the filter, negotiates the format (data intersection, proposed format), creates
    // the pin, allocates the buffer and registers the notification event.
    NTSTATUS Open(const EngineOptions& options);
    void SetSource(RenderSource* source) { source_ = source; }
    void SetSink(CaptureSink* sink) { sink_ = sink; }

    // Render: fills the whole buffer from the source; then steps the pin from stop to run,
    // one state at a time.
    NTSTATUS Start();
    // Run to pause and back, mid-stream: nothing is reset, positions and packet numbers go on.
    NTSTATUS Pause();
    NTSTATUS Resume();
    // Waits up to timeout for the next notification (or polls the position without
    // notifications) and moves every period that completed since the last call.
    // STATUS_TIMEOUT when none completed.
    NTSTATUS ServicePeriods(std::chrono::microseconds timeout);
    // Steps the pin down to stop, one state at a time; every step is attempted.
    NTSTATUS Stop();
    // Frees the buffer, unregisters the event and closes the pin and the filter.
    void Close();

    // The negotiated format and the buffer as the driver gave it.
    const WAVEFORMATEXTENSIBLE& Format() const { return format_; }
    std::uint32_t BufferBytes() const { return bufferBytes_; }
    std::uint32_t FramesPerPeriod() const { return framesPerPeriod_; }
    // Periods per buffer: the notification count, or 2 for a buffer without notifications.
    std::uint32_t PeriodsPerBuffer() const { return periodCount_; }
    // Whether the buffer came with notifications, and how audio moves with it.
    bool Notified() const { return event_ != nullptr; }
    TransferMode Mode() const { return mode_; }
    bool IsCapture() const { return capture_; }
    // Whether positions come from the mapped position register.
    bool UsesPositionRegister() const { return positionRegister_ != nullptr; }
    const KSRTAUDIO_HWLATENCY& HardwareLatency() const { return latency_; }
    const DeclaredPeriod& Declared() const { return declared_; }
    // The state the pin last reached.
    KSSTATE State() const { return state_; }
    const EngineCounters& Counters() const { return counters_; }
    // When the last wait that found a period returned (the event, or the poll that saw it).
    std::chrono::steady_clock::time_point LastWake() const { return lastWake_; }
    // How long each request that the driver answers only after a handshake with its client
    // took, in order: the buffer allocation and every state step.
    const std::vector<std::chrono::nanoseconds>& RequestRoundTrips() const { return roundTrips_; }

    // The open handles, for callers that send their own requests (tests).
    HANDLE Filter() const { return filter_; }
    HANDLE Pin() const { return pin_; }

private:
    NTSTATUS OpenUnderScope(const EngineOptions& options);
    NTSTATUS FindStreamingPin();
    NTSTATUS NegotiateFormat();
    NTSTATUS CreatePin();
    NTSTATUS FormatFromEndpointStore(WAVEFORMATEXTENSIBLE* format);
    NTSTATUS AllocateBuffer();
    // The declared constraints of the filter at path, read and applied to the format.
    void ReadDeclaredPeriod(const std::u16string& path);
    NTSTATUS RequestBuffer(bool withNotifications, ULONG requested, KSRTAUDIO_BUFFER* buffer);
    NTSTATUS RegisterEvent();
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS Step(KSSTATE from, KSSTATE to);
    // Runs a request and notes how long it took.
    template <class Request>
    NTSTATUS TimedRequest(Request request);
    NTSTATUS StepDownFrom(KSSTATE reached);
    void CloseUnderScope();

    NTSTATUS WaitForPeriod(std::chrono::microseconds timeout, bool* signalled);
    NTSTATUS ReadPosition(std::uint32_t* frame);
    NTSTATUS ServicePositions(bool signalled);
    NTSTATUS ServiceWritePackets();
    NTSTATUS ServiceReadPackets();
    // Render: fills frames of the buffer from the source (silence without one).
    void Produce(std::uint32_t firstByte, std::uint32_t bytes);
    void Consume(std::uint32_t firstByte, std::uint32_t bytes);
    std::uint32_t PeriodBytes(std::uint32_t period) const;

    host::Process& process_;
    EngineOptions options_;
    TransferMode mode_ = TransferMode::Position;
    RenderSource* source_ = nullptr;
    CaptureSink* sink_ = nullptr;
    WAVEFORMATEXTENSIBLE format_{};
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    HANDLE event_ = nullptr;
    std::uint8_t* buffer_ = nullptr;
    std::uint32_t bufferBytes_ = 0;
    std::uint32_t framesPerPeriod_ = 0;
    std::uint32_t bufferFrames_ = 0;
    std::uint32_t periodCount_ = 0;
    ULONG pinId_ = 0;
    bool capture_ = false;
    bool eventRegistered_ = false;
    KSSTATE state_ = KSSTATE_STOP;
    KSRTAUDIO_HWLATENCY latency_{};
    DeclaredPeriod declared_;
    // The position register in this process, and its width in bits (32 or 64).
    const volatile void* positionRegister_ = nullptr;
    ULONG registerWidth_ = 0;
    // Position mode: the period the device was in at the last service.
    std::uint32_t cursor_ = 0;
    // Packet mode: the last packet written (render) and the next packet expected (capture).
    ULONG lastWritten_ = 0;
    ULONG nextRead_ = 0;
    EngineCounters counters_;
    std::chrono::steady_clock::time_point lastWake_{};
    std::vector<std::chrono::nanoseconds> roundTrips_;
};

} // namespace host::engine
