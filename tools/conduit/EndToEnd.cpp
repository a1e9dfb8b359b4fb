// The end-to-end run: who starts first and why, how the two sides are kept in step in a fast
// run, and what is measured on the way.
#include "EndToEnd.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "HostBackend.h"
#include "HostDriver.h"
#include "Signal.h"
#include "kernel/Machine.h"
#include "kernel/Process.h"
#include "kernel/RtlMemory.h"
#include "transport/TransportProtocol.h"

namespace conduit::tool {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::uint8_t SilenceOf(std::uint32_t containerBits) {
    return containerBits == 8 ? 0x80 : 0x00;
}

// Copies frames of a signal out, then silence once it has run out.
class SignalReader {
public:
    explicit SignalReader(const std::vector<std::uint8_t>& signal) : signal_(signal) {}
    void Read(std::uint8_t* bytes, std::uint64_t count, std::uint8_t silence) {
        const std::uint64_t left =
            signal_.size() - std::min<std::uint64_t>(offset_, signal_.size());
        const std::uint64_t copied = std::min(left, count);
        if (copied != 0) {
            std::memcpy(bytes, signal_.data() + offset_, copied);
        }
        std::memset(bytes + copied, silence, count - copied);
        offset_ += count;
    }

private:
    const std::vector<std::uint8_t>& signal_;
    std::uint64_t offset_ = 0;
};

// Keeps what arrives, and how many frames that is for the watching thread.
class Recorder {
public:
    // Room for the whole run up front: growing the buffer mid-stream copies megabytes in the
    // threads that must keep the pace.
    void Reserve(std::uint64_t bytes) { bytes_.reserve(bytes); }
    void Append(const std::uint8_t* bytes, std::uint32_t frames, std::uint32_t blockAlign) {
        bytes_.insert(bytes_.end(), bytes, bytes + std::uint64_t(frames) * blockAlign);
        frames_.fetch_add(frames);
    }
    std::uint64_t Frames() const { return frames_.load(); }
    std::vector<std::uint8_t>& Bytes() { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::atomic<std::uint64_t> frames_{0};
};

class ClientSink : public FrameSink {
public:
    void Consume(const StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t frames) override {
        recorder.Append(bytes, frames, format.blockAlign);
    }
    Recorder recorder;
};

class ClientSource : public FrameSource {
public:
    explicit ClientSource(const std::vector<std::uint8_t>& signal) : reader(signal) {}
    void Produce(const StreamFormat& format, std::uint8_t* bytes, std::uint32_t frames) override {
        reader.Read(bytes, std::uint64_t(frames) * format.blockAlign,
                    SilenceOf(format.containerBits));
    }
    SignalReader reader;
};

class EngineSource : public host::engine::RenderSource {
public:
    explicit EngineSource(const std::vector<std::uint8_t>& signal) : reader(signal) {}
    void Fill(const WAVEFORMATEXTENSIBLE& format, std::uint8_t* bytes,
              std::uint32_t frames) override {
        reader.Read(bytes, std::uint64_t(frames) * format.Format.nBlockAlign,
                    SilenceOf(format.Format.wBitsPerSample));
    }
    SignalReader reader;
};

class EngineSink : public host::engine::CaptureSink {
public:
    void Take(const WAVEFORMATEXTENSIBLE& format, const std::uint8_t* bytes,
              std::uint32_t frames) override {
        recorder.Append(bytes, frames, format.Format.nBlockAlign);
    }
    Recorder recorder;
};

// The fast run's clock: frames become due as far as the engine lets them. Reading what the
// engine plays, the client may go as far as the engine has filled and handed over (in packet
// mode a packet counts once its write request is answered: a period the client completed
// between the fill and the request would make the packet late); writing what it records,
// no further than a buffer beyond what the engine has taken out. In both cases one frame less:
// a client a whole buffer ahead puts the position back in the engine's own period, where an
// engine that follows the position cannot tell a full lap from no progress.
class GrantedClock : public Clock {
public:
    GrantedClock(std::function<std::uint64_t()> limit, std::uint32_t quantum)
        : limit_(std::move(limit)), quantum_(quantum) {}
    void Restart() override {}
    std::uint64_t Take(std::uint32_t) override {
        const std::uint64_t limit = limit_();
        if (limit <= granted_) {
            return 0;
        }
        std::uint64_t due = limit - granted_;
        if (quantum_ != 0 && due > quantum_) {
            due = quantum_;
        }
        granted_ += due;
        return due;
    }
    // Nothing waits for a timer here: the backend wakes the session when the engine moves on.
    std::chrono::microseconds TimeUntil(std::uint64_t frames, std::uint32_t) override {
        const std::uint64_t limit = limit_();
        return limit >= granted_ + frames && limit > granted_ ? std::chrono::microseconds(0)
                                                              : std::chrono::milliseconds(20);
    }

private:
    std::function<std::uint64_t()> limit_;
    std::uint32_t quantum_;
    std::uint64_t granted_ = 0;
};

// The client's backend, noting when each connection last asked for a tick. In a fast run it also
// wakes a waiting session as soon as an engine moves on (frames may have become due), not only
// when the driver signals: a relay thread per event waits for the driver's signals, so the
// session's wait is one wait on both.
class StampingBackend : public HostBackend {
public:
    StampingBackend(host::Process& process, bool wakeOnProgress)
        : HostBackend(process), wakeOnProgress_(wakeOnProgress) {}
    ~StampingBackend() override { StopRelays(); }

    Status OpenFile(const std::u16string& path, Handle* file) override {
        Status status = HostBackend::OpenFile(path, file);
        if (status.ok()) {
            const std::u16string tail = u"\\Capture";
            const bool capture = path.size() >= tail.size() &&
                                 path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
            std::lock_guard<std::mutex> hold(lock_);
            directions_[*file] = capture ? Direction::Capture : Direction::Render;
        }
        return status;
    }
    Status DeviceControl(Handle file, std::uint32_t code, const void* input,
                         std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                         std::uint32_t* returned) override {
        std::int32_t reported = 0;
        if (code == transport::IoctlReportStatus && inputBytes >= 8) {
            std::memcpy(&reported, static_cast<const std::uint8_t*>(input) + 4, 4);
        }
        if (reported == transport::StatusTransportTick) {
            const std::int64_t now = SteadyClock::now().time_since_epoch().count();
            std::lock_guard<std::mutex> hold(lock_);
            auto direction = directions_.find(file);
            if (direction != directions_.end()) {
                lastTick_[int(direction->second)] = now;
            }
        }
        return HostBackend::DeviceControl(file, code, input, inputBytes, output, outputBytes,
                                          returned);
    }
    WaitResult WaitEvent(Handle event, std::chrono::microseconds timeout) override {
        if (!wakeOnProgress_) {
            return HostBackend::WaitEvent(event, timeout);
        }
        std::unique_lock<std::mutex> hold(lock_);
        Relay& relay = relays_[event];
        if (!relay.thread.joinable() && !stopping_) {
            relay.thread = std::thread([this, event] { RelaySignals(event); });
        }
        // Progress since this waiter last returned counts: it may have come while it worked.
        changed_.wait_for(hold, timeout, [&] {
            return relay.signalled || relay.failed || relay.seen != generation_;
        });
        relay.seen = generation_;
        if (relay.signalled) {
            relay.signalled = false;
            return WaitResult::Signalled;
        }
        return relay.failed ? WaitResult::Failed : WaitResult::TimedOut;
    }
    // An engine moved on.
    void Progressed() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++generation_;
        }
        changed_.notify_all();
    }
    // Before the events close: their relays stop waiting on them, woken by a signal of their
    // own rather than left to notice at the end of their bound.
    void StopRelays() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        for (auto& entry : relays_) {
            if (entry.second.thread.joinable()) {
                // Should the set fail, the relay still stops at the end of its bound.
                (void)SignalEvent(entry.first);
                entry.second.thread.join();
            }
        }
    }
    // The steady-clock time of the direction's last tick request, or 0.
    std::int64_t LastTick(Direction direction) {
        std::lock_guard<std::mutex> hold(lock_);
        return lastTick_[int(direction)];
    }

private:
    struct Relay {
        std::thread thread;
        bool signalled = false;
        bool failed = false;
        std::uint64_t seen = 0;
    };
    void RelaySignals(Handle event) {
        for (;;) {
            // Bounded only so that StopRelays is noticed.
            const WaitResult result = HostBackend::WaitEvent(event, std::chrono::milliseconds(20));
            std::lock_guard<std::mutex> hold(lock_);
            Relay& relay = relays_[event];
            relay.signalled = relay.signalled || result == WaitResult::Signalled;
            relay.failed = result == WaitResult::Failed;
            changed_.notify_all();
            if (stopping_ || relay.failed) {
                return;
            }
        }
    }

    const bool wakeOnProgress_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<Handle, Direction> directions_;
    std::map<Handle, Relay> relays_;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    std::int64_t lastTick_[2] = {0, 0};
};

LatencyFigures Summarise(std::vector<double> samples) {
    LatencyFigures figures;
    figures.samples = samples.size();
    if (samples.empty()) {
        return figures;
    }
    std::sort(samples.begin(), samples.end());
    figures.medianMicroseconds = samples[samples.size() / 2];
    figures.p99Microseconds = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    return figures;
}

// The signal of a direction cut or padded with silence to exactly frames frames.
std::vector<std::uint8_t> SignalOfRun(const std::vector<std::uint8_t>& given,
                                      const DeviceFormat& format, std::uint64_t frames,
                                      unsigned variant) {
    const std::uint64_t bytes = frames * format.channels * format.containerBytes;
    if (given.empty()) {
        return GenerateSignal(format, frames, variant);
    }
    std::vector<std::uint8_t> signal(given.begin(),
                                     given.begin() + std::min<std::uint64_t>(given.size(), bytes));
    signal.resize(bytes, SilenceOf(format.containerBytes == 1 ? 8 : 16));
    return signal;
}

// One engine and the thread that serves its periods.
struct EngineSide {
    EngineSide(host::Process& process, Direction clientDirection)
        : engine(process), clientDirection(clientDirection) {}
    host::engine::AudioEngine engine;
    Direction clientDirection; // the client's file on the other end
    std::uint32_t pausesDone = 0;
    bool opened = false;
    bool started = false;
    std::thread thread;
    NTSTATUS failure = STATUS_SUCCESS; // the first failure of its service loop
    std::vector<double> tickLatencies; // read after the thread has ended
};

struct SessionSide {
    std::unique_ptr<Connection> connection;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<Session> session;
    std::thread thread;
    Status status;
};

class Runner {
public:
    Runner(const EndToEndOptions& options, EndToEndResult& result, StampingBackend& backend,
           host::Process& engineProcess)
        : options_(options), result_(result), backend_(backend),
          play_(engineProcess, Direction::Capture), record_(engineProcess, Direction::Render),
          clientSource_(result.record.sent), engineSource_(result.play.sent) {
        // What arrives after the last asked frame is at most a buffer more.
        clientSink_.recorder.Reserve(result.play.sent.size() + transport::DataBufferSize);
        engineSink_.recorder.Reserve(result.record.sent.size() + transport::DataBufferSize);
    }
    ~Runner() { Finish(); }

    bool Execute();
    void Finish();

private:
    bool Connect(Direction direction, SessionSide& side);
    bool OpenEngine(EngineSide& side, const char16_t* filter);
    void Serve(EngineSide& side);
    bool Watch();
    bool Fail(const std::string& failure) {
        if (result_.failure.empty()) {
            result_.failure = failure;
        }
        return false;
    }

    const EndToEndOptions& options_;
    EndToEndResult& result_;
    StampingBackend& backend_;
    EngineSide play_;   // on the render endpoint; the client reads it through Capture
    EngineSide record_; // on the capture endpoint; the client writes it through Render
    SessionSide capture_;
    SessionSide render_;
    HandshakePolicy policy_;
    ClientSink clientSink_;
    ClientSource clientSource_;
    EngineSource engineSource_;
    EngineSink engineSink_;
    std::atomic<std::uint32_t> bufferFrames_{0};
    // Frames the playing engine has filled and handed over, prefill included; written by the
    // thread that drives that engine.
    std::atomic<std::uint64_t> playSubmitted_{0};
    std::atomic<bool> stopEngines_{false};
    std::atomic<bool> periodLost_{false}; // an engine counted a glitch or a late packet
    std::atomic<bool> stopSessions_{false};
    bool finished_ = false;
    bool streaming_ = false;
    std::uint64_t copiedAtStart_ = 0;
};

bool Runner::Connect(Direction direction, SessionSide& side) {
    const std::string name = DirectionName(direction);
    Status status = Connection::Open(backend_, direction, &side.connection);
    if (status.ok()) {
        status = side.connection->SetFormat(options_.format);
    }
    if (status.ok()) {
        status = side.connection->SetLatency(options_.latencyFrames);
    }
    if (!status.ok()) {
        return Fail("connecting the client's " + name + " file: " + status.ToString());
    }
    if (options_.fast) {
        // See GrantedClock: reading, as far as the engine has filled; writing, a buffer beyond
        // what it has taken out.
        if (direction == Direction::Capture) {
            side.clock = std::make_unique<GrantedClock>(
                [this] {
                    const std::uint64_t filled = playSubmitted_.load();
                    return filled == 0 ? 0 : filled - 1;
                },
                options_.grantQuantum);
        } else {
            side.clock = std::make_unique<GrantedClock>(
                [this] {
                    const std::uint32_t buffer = bufferFrames_.load();
                    return buffer == 0 ? 0 : engineSink_.recorder.Frames() + buffer - 1;
                },
                options_.grantQuantum);
        }
    } else {
        side.clock = std::make_unique<RealTimeClock>();
    }
    SessionOptions sessionOptions;
    sessionOptions.holdAtBoundaries = !options_.coalesce;
    side.session =
        std::make_unique<Session>(*side.connection, *side.clock, policy_, sessionOptions);
    if (direction == Direction::Capture) {
        side.session->SetSink(&clientSink_);
    } else {
        side.session->SetSource(&clientSource_);
    }
    // The session answers every handshake from now on: the engine's requests wait for it.
    side.thread = std::thread([this, &side] {
        if (options_.lowLatency) {
            host::engine::EnterProAudioClass(); // as a low-latency client registers its thread
        }
        side.status = side.session->Run(stopSessions_);
    });
    return true;
}

bool Runner::OpenEngine(EngineSide& side, const char16_t* filter) {
    host::engine::EngineOptions engineOptions;
    engineOptions.filterName = filter;
    engineOptions.mode = options_.mode;
    engineOptions.withNotifications = options_.withNotifications;
    engineOptions.notificationCount = options_.notificationCount;
    engineOptions.requestedBufferBytes = options_.engineRequestBytes;
    engineOptions.formatSource = options_.formatSource;
    engineOptions.lowLatency = options_.lowLatency;
    NTSTATUS status = side.engine.Open(engineOptions);
    if (!NT_SUCCESS(status)) {
        return Fail("the engine could not open " + std::string(filter, filter + 6) + ": " +
                    StatusText(status));
    }
    side.opened = true;
    const WAVEFORMATEX& format = side.engine.Format().Format;
    if (format.nSamplesPerSec != options_.format.sampleRate ||
        format.nChannels != options_.format.channels ||
        format.nBlockAlign != options_.format.channels * options_.format.containerBytes) {
        return Fail("the engine negotiated " + std::to_string(format.nSamplesPerSec) + " Hz, " +
                    std::to_string(format.nChannels) + " channels, " +
                    std::to_string(format.nBlockAlign) +
                    "-byte frames instead of the client's format");
    }
    return true;
}

// The frames an engine has moved when it makes its next pause: the run cut into equal parts.
std::uint64_t NextPause(const EndToEndOptions& options, std::uint32_t done) {
    return options.frames * (done + 1) / (std::uint64_t(options.pauses) + 1);
}

void Runner::Serve(EngineSide& side) {
    if (options_.lowLatency) {
        host::engine::EnterProAudioClass();
    }
    while (!stopEngines_.load()) {
        if (side.pausesDone < options_.pauses &&
            side.engine.Counters().framesMoved >= NextPause(options_, side.pausesDone)) {
            NTSTATUS status = side.engine.Pause();
            if (NT_SUCCESS(status)) {
                if (!options_.fast) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // audible
                }
                status = side.engine.Resume();
            }
            if (!NT_SUCCESS(status)) {
                side.failure = status;
                return;
            }
            ++side.pausesDone;
        }
        const NTSTATUS status = side.engine.ServicePeriods(std::chrono::milliseconds(20));
        if (status == STATUS_TIMEOUT) {
            continue;
        }
        if (!NT_SUCCESS(status)) {
            side.failure = status;
            return;
        }
        if (&side == &play_) {
            playSubmitted_.store(side.engine.Counters().framesMoved);
        }
        if (side.engine.Counters().glitches + side.engine.Counters().latePackets != 0) {
            periodLost_.store(true);
        }
        backend_.Progressed();
        // The tick that woke the engine is the last one its client direction sent before.
        const std::int64_t wake = side.engine.LastWake().time_since_epoch().count();
        const std::int64_t tick = backend_.LastTick(side.clientDirection);
        if (tick != 0 && wake >= tick) {
            side.tickLatencies.push_back(double(wake - tick) / 1000.0);
        }
    }
}

bool Runner::Watch() {
    const std::uint64_t target = options_.frames;
    std::uint64_t lastDone = ~std::uint64_t(0);
    auto lastMove = SteadyClock::now();
    auto lastReport = SteadyClock::time_point();
    while (true) {
        const std::uint64_t done =
            std::min(clientSink_.recorder.Frames(), engineSink_.recorder.Frames());
        const auto now = SteadyClock::now();
        if (options_.progress && now - lastReport >= std::chrono::milliseconds(100)) {
            options_.progress(std::min(1.0, double(done) / double(target)));
            lastReport = now;
        }
        if (done >= target) {
            if (options_.progress) {
                options_.progress(1.0);
            }
            return true;
        }
        for (EngineSide* side : {&play_, &record_}) {
            if (side->failure != STATUS_SUCCESS) {
                return Fail("an engine's service failed with " + StatusText(side->failure));
            }
        }
        if (options_.stopAtFirstLoss && periodLost_.load()) {
            return Fail("an engine lost a period after " + std::to_string(done) + " frames");
        }
        for (SessionSide* side : {&capture_, &render_}) {
            if (!side->status.ok()) {
                return Fail("a client session failed: " + side->status.ToString());
            }
        }
        if (done != lastDone) {
            lastDone = done;
            lastMove = now;
        } else if (now - lastMove > options_.stallLimit) {
            return Fail("no progress for " + std::to_string(options_.stallLimit.count()) +
                        " ms: the client has read " +
                        std::to_string(clientSink_.recorder.Frames()) +
                        " frames, the engine has recorded " +
                        std::to_string(engineSink_.recorder.Frames()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.fast ? 1 : 5));
    }
}

bool Runner::Execute() {
    if (!Connect(Direction::Capture, capture_) || !Connect(Direction::Render, render_) ||
        !OpenEngine(play_, u"wave_r") || !OpenEngine(record_, u"wave_c")) {
        return false;
    }
    result_.format = play_.engine.Format();
    result_.bufferBytes = play_.engine.BufferBytes();
    result_.framesPerPeriod = play_.engine.FramesPerPeriod();
    result_.notified = play_.engine.Notified();
    result_.declared = play_.engine.Declared();
    result_.mode = play_.engine.Mode();
    bufferFrames_.store(record_.engine.BufferBytes() / record_.engine.Format().Format.nBlockAlign);
    play_.engine.SetSource(&engineSource_);
    record_.engine.SetSink(&engineSink_);
    for (EngineSide* side : {&play_, &record_}) {
        const NTSTATUS status = side->engine.Start();
        if (!NT_SUCCESS(status)) {
            return Fail("starting a stream failed with " + StatusText(status));
        }
        side->started = true;
    }
    playSubmitted_.store(play_.engine.Counters().framesMoved);
    copiedAtStart_ = host::DriverCopiedBytes();
    streaming_ = true;
    for (EngineSide* side : {&play_, &record_}) {
        side->thread = std::thread([this, side] { Serve(*side); });
    }
    return Watch();
}

void Runner::Finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    stopEngines_.store(true);
    for (EngineSide* side : {&play_, &record_}) {
        if (side->thread.joinable()) {
            side->thread.join();
        }
    }
    if (streaming_) {
        result_.bytesCopiedByDriver = host::DriverCopiedBytes() - copiedAtStart_;
    }
    // The steps down and the buffer release are handshaken: the sessions still answer.
    for (EngineSide* side : {&play_, &record_}) {
        if (side->started) {
            const NTSTATUS status = side->engine.Stop();
            if (!NT_SUCCESS(status)) {
                Fail("stopping a stream failed with " + StatusText(status));
            }
        }
        side->engine.Close();
    }
    stopSessions_.store(true);
    backend_.Progressed(); // a session waiting for frames to become due sees the stop at once
    for (SessionSide* side : {&capture_, &render_}) {
        if (side->thread.joinable()) {
            side->thread.join();
        }
    }
    backend_.StopRelays();
    result_.pauses = std::min(play_.pausesDone, record_.pausesDone);
    result_.play.session = capture_.session ? capture_.session->stats() : SessionStats();
    result_.record.session = render_.session ? render_.session->stats() : SessionStats();
    result_.play.engine = play_.engine.Counters();
    result_.record.engine = record_.engine.Counters();
    std::vector<double> ticks = play_.tickLatencies;
    ticks.insert(ticks.end(), record_.tickLatencies.begin(), record_.tickLatencies.end());
    result_.tick = Summarise(std::move(ticks));
    std::vector<double> handshakes;
    for (EngineSide* side : {&play_, &record_}) {
        for (std::chrono::nanoseconds time : side->engine.RequestRoundTrips()) {
            handshakes.push_back(double(time.count()) / 1000.0);
        }
    }
    result_.handshake = Summarise(std::move(handshakes));
    for (SessionSide* side : {&capture_, &render_}) {
        if (side->connection) {
            Status closed = side->connection->Close();
            if (!closed.ok()) {
                Fail("closing a client file: " + closed.ToString());
            }
        }
    }
    result_.play.received = std::move(clientSink_.recorder.Bytes());
    result_.record.received = std::move(engineSink_.recorder.Bytes());
}

void Compare(DirectionResult& direction, std::uint32_t blockAlign) {
    if (direction.received.size() > direction.sent.size()) {
        direction.received.resize(direction.sent.size());
    }
    direction.firstDifferentFrame =
        FirstDifferentFrame(direction.sent, direction.received, blockAlign);
}

} // namespace

EndToEndResult RunEndToEnd(const EndToEndOptions& options) {
    EndToEndResult result;
    const auto begin = SteadyClock::now();
    const std::uint32_t blockAlign = options.format.channels * options.format.containerBytes;
    result.play.sent = SignalOfRun(options.playSignal, options.format, options.frames, 0);
    result.record.sent = SignalOfRun(options.recordSignal, options.format, options.frames, 1);
    {
        host::Machine machine;
        HostDriver driver(machine);
        std::string failure;
        if (driver.Start(options.imagePath, &failure)) {
            auto& processes = machine.Get<host::Processes>();
            host::Process& client = processes.Create("client", options.client32Bit);
            host::Process& engine = processes.Create("audio engine", false);
            const std::uint64_t copiedBefore = host::DriverCopiedBytes();
            {
                StampingBackend backend(client, options.fast);
                Runner runner(options, result, backend, engine);
                result.completed = runner.Execute();
                runner.Finish();
                result.completed = result.completed && result.failure.empty();
            }
            result.bytesCopiedOutsideStreaming =
                host::DriverCopiedBytes() - copiedBefore - result.bytesCopiedByDriver;
            processes.Exit(engine);
            processes.Exit(client);
        } else {
            result.failure = failure;
        }
        result.verifierProblems = driver.Unload();
        if (result.verifierProblems.empty()) {
            result.verifierProblems = machine.Verify();
        }
    }
    Compare(result.play, blockAlign);
    Compare(result.record, blockAlign);
    result.elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - begin);
    return result;
}

} // namespace conduit::tool
