// The client library's API: connect to one direction of the device, choose its format and
// latency, and run the session that answers the driver's handshakes, moves frames through the
// shared buffer and drives the device's clock. Everything read from shared memory is checked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "conduit/Clock.h"
#include "conduit/Status.h"

namespace conduit {

class Backend;
using Handle = std::uint64_t;

// Named after the client's files. Render: the client writes what applications record.
// Capture: the client reads what applications play.
enum class Direction { Render, Capture };
const char* DirectionName(Direction direction);

// The device format a client may ask for: the five fields of the format request.
struct DeviceFormat {
    std::uint32_t sampleRate = 0;
    std::uint32_t bitsPerSample = 0;
    std::uint32_t channels = 0;
    std::uint32_t containerBytes = 0;
    std::uint32_t channelMask = 0; // 0: the driver picks the usual mask for the channel count
};

// The stream's format as the driver published it, already checked for consistency.
struct StreamFormat {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t containerBits = 0;
    std::uint16_t validBits = 0;
    std::uint32_t channelMask = 0;
    bool isFloat = false; // IEEE float samples (the tag, or the extensible sub-format, says so)
};

// Unknown: the block held a value that is not a state; the session then stands still.
enum class StreamState : std::uint32_t {
    Stop = 0,
    Acquire = 1,
    Pause = 2,
    Run = 3,
    Unknown = 0xFFFFFFFF
};

// One reading of the control block. Fields that failed their checks are reported in
// `problems` and left at values that make the session stand still.
struct StreamView {
    bool clientConnected = false;
    bool streamOpen = false;
    StreamState state = StreamState::Stop;
    bool hasFormat = false; // `format` is a usable stream format
    StreamFormat format;
    std::uint32_t bufferFrames = 0; // 0 when there is no buffer or it cannot be used safely
    std::uint32_t aheadFrames = 0;
    std::uint32_t driverPosition = 0;
    std::uint32_t handshakeFlags = 0;
    // The number of the handshake this reading belongs to: read before every other field, so
    // an answer decided from this view names no later handshake.
    std::uint32_t handshakeNumber = 0;
    std::uint32_t streamModeFlags = 0;
    DeviceFormat deviceFormat; // zeros until the first format request changed the format
    std::uint32_t latencyFrames = 0;
    std::vector<std::string> problems;

    // Frames can move: a running stream with a checked format and a buffer that fits.
    bool CanMoveFrames() const {
        return streamOpen && state == StreamState::Run && hasFormat && bufferFrames != 0;
    }
};

// An open direction: the interface file, the mapped control block and data buffer, and the
// registered event. Closing (or destroying) it closes the file, which unmaps both regions.
class Connection {
public:
    // Opens `direction` on the first enabled interface, or on interfacePath when given.
    static Status Open(Backend& backend, Direction direction,
                       std::unique_ptr<Connection>* connection,
                       const std::u16string& interfacePath = std::u16string());
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Direction direction() const { return direction_; }
    Backend& backend() { return backend_; }
    Handle event() const { return event_; }

    Status SetFormat(const DeviceFormat& format);
    Status SetLatency(std::uint32_t frames);
    // Answers handshake handshakeNumber (from the reading the answer was decided on) with an
    // NTSTATUS value; the driver drops it if that handshake is no longer waiting.
    Status Answer(std::int32_t clientStatus, std::uint32_t handshakeNumber);
    // Asks the driver's worker for one position tick.
    Status RequestTick();

    StreamView Read() const;
    // Single fields of the block, for an answering thread that needs nothing else of it.
    std::uint32_t HandshakeFlags() const;
    std::uint32_t HandshakeNumber() const;

    // The part of the data buffer the client may touch: its mapped address and the bytes that
    // both the driver's block and the protocol allow.
    std::uint8_t* DataBuffer() const { return data_; }
    std::uint32_t DataBytes() const { return dataBytes_; }

    void WritePositions(std::uint32_t clientPosition, std::uint32_t positionRegister);
    std::uint32_t ClientPosition() const;

    Status Close();

private:
    Connection(Backend& backend, Direction direction);
    Status Report(std::uint32_t code, const void* input, std::uint32_t bytes, const char* what);

    Backend& backend_;
    Direction direction_;
    Handle file_;
    Handle event_;
    void* block_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint32_t dataBytes_ = 0;
};

// What the session does with a handshake. A late answer waits `delay` before it is sent.
struct HandshakeAnswer {
    enum class Kind { Answer, Silent };
    Kind kind = Kind::Answer;
    std::int32_t status = status::Success;
    std::chrono::microseconds delay{0};

    static HandshakeAnswer Accept() { return HandshakeAnswer(); }
    static HandshakeAnswer Fail(std::int32_t code) { return {Kind::Answer, code, {}}; }
    static HandshakeAnswer Late(std::chrono::microseconds after, std::int32_t code = 0) {
        return {Kind::Answer, code, after};
    }
    static HandshakeAnswer Never() { return {Kind::Silent, 0, {}}; }
};

class HandshakePolicy {
public:
    virtual ~HandshakePolicy() = default;
    // view: what the driver wrote before it signalled (the requested state, the new buffer).
    virtual HandshakeAnswer Decide(const StreamView& view) {
        (void)view;
        return HandshakeAnswer::Accept();
    }
};

// Capture direction: receives frames that applications played. bytes holds frames ×
// format.blockAlign bytes of the shared buffer, valid during the call only.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void Consume(const StreamFormat& format, const std::uint8_t* bytes,
                         std::uint32_t frames) = 0;
};

// Render direction: fills frames that applications will record, in place in the shared buffer.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual void Produce(const StreamFormat& format, std::uint8_t* bytes, std::uint32_t frames) = 0;
};

struct SessionOptions {
    // Longest wait for the event while the stream does not run.
    std::chrono::microseconds idleWait{std::chrono::milliseconds(20)};
    // Longest wait while it runs, whatever the clock says.
    std::chrono::microseconds runWait{std::chrono::milliseconds(2)};
    // How long after an answer ticks are held back while the driver's handshake still reads
    // the answer (a tick sent then would replace it). The driver gives up after one second.
    std::chrono::microseconds answerGuard{std::chrono::milliseconds(1100)};
    // Hold at each period boundary until the driver's tick has seen the period, so that no two
    // boundaries pass between two ticks. Without it the client moves whatever is due at once
    // and lets its tick requests coalesce: the driver counts every period it passed anyway.
    bool holdAtBoundaries = true;
};

struct SessionStats {
    std::uint64_t handshakes = 0;
    std::uint64_t answers = 0;       // answers sent, success or failure
    std::uint64_t failedAnswers = 0; // answers with a failure status
    std::uint64_t silentHandshakes = 0;
    std::uint64_t lateAnswers = 0; // answers sent after the driver's deadline
    std::uint64_t ticks = 0;
    std::uint64_t framesMoved = 0;
    std::uint64_t framesDropped = 0; // due frames the session fell more than a buffer behind on
    std::uint64_t periodWaits = 0;   // times the session held at a period boundary for a tick
    std::uint64_t inconsistencies = 0;
    std::string lastInconsistency;
};

// The loop of one direction. Step() waits once for the event (bounded by the clock), answers a
// handshake if one came, moves the frames that are due and asks for a tick. Run() repeats it.
class Session {
public:
    Session(Connection& connection, Clock& clock, HandshakePolicy& policy,
            SessionOptions options = SessionOptions());
    void SetSink(FrameSink* sink) { sink_ = sink; }
    void SetSource(FrameSource* source) { source_ = source; }

    Status Step();
    // Steps until stop becomes true or a step fails.
    Status Run(const std::atomic<bool>& stop);

    const SessionStats& stats() const { return stats_; }
    // The counter the session last wrote as ClientPosition; it wraps at 2^32.
    std::uint32_t position() const { return position_; }

private:
    Status AnswerHandshake(const StreamView& view);
    void Follow(const StreamView& view);
    void MoveFrames(const StreamView& view);
    bool DriverHasSeenPeriod(std::uint32_t bufferFrames, std::uint32_t offset);
    void Note(const StreamView& view);
    bool HoldingTicks();

    Connection& connection_;
    Clock& clock_;
    HandshakePolicy& policy_;
    SessionOptions options_;
    FrameSink* sink_ = nullptr;
    FrameSource* source_ = nullptr;
    SessionStats stats_;
    std::uint32_t position_ = 0;
    // Frames moved since the driver last reset the counter: their remainder in the buffer is
    // the place of the next frame, for the driver as for the client.
    std::uint64_t frames_ = 0;
    std::uint64_t budget_ = 0;
    bool running_ = false;
    std::uint64_t handshakesFollowed_ = 0; // handshakes seen by the last Follow
    bool tickOwed_ = false;
    bool guarding_ = false;
    std::chrono::microseconds guardUntil_{0};
};

} // namespace conduit
