// The audio engine against the real driver, with a real client on the other side of the shared
// buffer: the client library's session answers the handshakes and drives the clock, one period
// at a time, so every step of the test is decided by the test, never by timing.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AudioEngine.h"
#include "DriverTest.h"
#include "HostBackend.h"
#include "KsRequests.h"
#include "audio/MiniportWaveRT.h"
#include "audio/MiniportWaveRTStream.h"
#include "conduit/Client.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/Registry.h"
#include "transport/TransportChannel.h"

namespace {

using host::engine::AudioEngine;
using host::engine::EngineOptions;
using host::engine::TransferMode;

// Long enough never to matter on a loaded machine; a test only waits this long when it fails.
const std::chrono::microseconds ServiceWait = std::chrono::milliseconds(100);
const int PatienceRounds = 100;

std::uint8_t PatternByte(std::uint64_t index) {
    return static_cast<std::uint8_t>(index * 131 + (index >> 8) * 7 + 3);
}

std::vector<std::uint8_t> Pattern(std::uint64_t first, std::uint64_t bytes) {
    std::vector<std::uint8_t> pattern(bytes);
    for (std::uint64_t i = 0; i < bytes; ++i) {
        pattern[i] = PatternByte(first + i);
    }
    return pattern;
}

// Frames are due only when the test grants them; safe to grant from another thread.
class SteppedClock : public conduit::Clock {
public:
    void Grant(std::uint64_t frames) { pending += frames; }
    std::uint64_t Pending() const { return pending.load(); }
    void Restart() override {}
    std::uint64_t Take(std::uint32_t) override { return pending.exchange(0); }
    std::chrono::microseconds TimeUntil(std::uint64_t frames, std::uint32_t) override {
        return std::chrono::microseconds(pending.load() >= frames ? 0 : 1000);
    }

private:
    std::atomic<std::uint64_t> pending{0};
};

// Accepts every handshake except the first that asks for failState.
class ScriptedPolicy : public conduit::HandshakePolicy {
public:
    conduit::HandshakeAnswer Decide(const conduit::StreamView& view) override {
        int expected = static_cast<int>(view.state);
        if (view.streamOpen && failState.compare_exchange_strong(expected, -1)) {
            return conduit::HandshakeAnswer::Fail(failure);
        }
        return conduit::HandshakeAnswer::Accept();
    }
    std::atomic<int> failState{-1};
    std::int32_t failure =
        static_cast<std::int32_t>(0xC0000182); // STATUS_DEVICE_CONFIGURATION_ERROR
};

// Both ends write the same byte sequence and both ends record what they receive.
class PatternEnds : public conduit::FrameSink,
                    public conduit::FrameSource,
                    public host::engine::RenderSource,
                    public host::engine::CaptureSink {
public:
    void Consume(const conduit::StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t frames) override {
        Record(bytes, std::uint64_t(frames) * format.blockAlign);
    }
    void Produce(const conduit::StreamFormat& format, std::uint8_t* bytes,
                 std::uint32_t frames) override {
        Write(bytes, std::uint64_t(frames) * format.blockAlign);
    }
    void Fill(const WAVEFORMATEXTENSIBLE& format, std::uint8_t* bytes,
              std::uint32_t frames) override {
        Write(bytes, std::uint64_t(frames) * format.Format.nBlockAlign);
    }
    void Take(const WAVEFORMATEXTENSIBLE& format, const std::uint8_t* bytes,
              std::uint32_t frames) override {
        Record(bytes, std::uint64_t(frames) * format.Format.nBlockAlign);
    }

    void Reset() {
        std::lock_guard<std::mutex> hold(lock);
        written = 0;
        received.clear();
    }

    std::vector<std::uint8_t> Received() {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    }

private:
    void Write(std::uint8_t* bytes, std::uint64_t count) {
        std::lock_guard<std::mutex> hold(lock);
        for (std::uint64_t i = 0; i < count; ++i) {
            bytes[i] = PatternByte(written + i);
        }
        written += count;
    }
    void Record(const std::uint8_t* bytes, std::uint64_t count) {
        std::lock_guard<std::mutex> hold(lock);
        received.insert(received.end(), bytes, bytes + count);
    }

    std::mutex lock;
    std::uint64_t written = 0;
    std::vector<std::uint8_t> received;
};

// A client program's calls end with its process: what it still holds after the exit is gone
// already, and closing it again is nothing the program could do.
class ClientBackend : public conduit::HostBackend {
public:
    explicit ClientBackend(host::Process& process) : HostBackend(process), process(process) {}
    conduit::Status CloseFile(conduit::Handle file) override {
        return process.IsAlive() ? HostBackend::CloseFile(file) : Gone();
    }
    conduit::Status CloseEvent(conduit::Handle event) override {
        return process.IsAlive() ? HostBackend::CloseEvent(event) : Gone();
    }

private:
    static conduit::Status Gone() {
        return conduit::Status(conduit::status::Unsuccessful, "the process has exited");
    }
    host::Process& process;
};

struct Variant {
    const char* name;
    bool render; // the engine plays into wave_r; otherwise it records from wave_c
    TransferMode mode;
    bool notifications;
    std::uint32_t count;
    bool registerPositions;
};

class AudioEngineTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadAndStart();
        audio = &NewProcess(false, "audio");
        clientProcess = &NewProcess(false, "client");
        backend = std::make_unique<ClientBackend>(*clientProcess);
    }

    void TearDown() override {
        EndRound();
        DriverTest::TearDown();
    }

    // Ends one case of a table: the engine, then the client's session and connection.
    void EndRound() {
        engine.reset();
        StopClient();
        if (connection != nullptr) {
            connection->Close();
            connection.reset();
        }
    }

    // Connects the client for the engine's direction (the client reads what the engine plays)
    // and runs its session on a thread of its own.
    void ConnectClient(bool render, std::uint32_t latencyFrames = 480, bool coalesce = false) {
        const conduit::Direction direction =
            render ? conduit::Direction::Capture : conduit::Direction::Render;
        conduit::Status status = conduit::Connection::Open(*backend, direction, &connection);
        ASSERT_TRUE(status.ok()) << status.ToString();
        conduit::DeviceFormat format;
        format.sampleRate = 48000;
        format.bitsPerSample = 16;
        format.channels = 2;
        format.containerBytes = 2;
        status = connection->SetFormat(format);
        ASSERT_TRUE(status.ok()) << status.ToString();
        status = connection->SetLatency(latencyFrames);
        ASSERT_TRUE(status.ok()) << status.ToString();
        conduit::SessionOptions options;
        options.holdAtBoundaries = !coalesce;
        session = std::make_unique<conduit::Session>(*connection, clock, policy, options);
        session->SetSink(&clientEnd);
        session->SetSource(&clientEnd);
        stop = false;
        sessionThread = std::thread([this] { session->Run(stop); });
    }

    void StopClient() {
        stop = true;
        if (sessionThread.joinable()) {
            sessionThread.join();
        }
    }

    NTSTATUS OpenEngine(const Variant& variant) {
        engine = std::make_unique<AudioEngine>(*audio);
        EngineOptions options;
        options.filterName = variant.render ? u"wave_r" : u"wave_c";
        options.mode = variant.mode;
        options.withNotifications = variant.notifications;
        options.notificationCount = variant.count;
        options.usePositionRegister = variant.registerPositions;
        const NTSTATUS status = engine->Open(options);
        engine->SetSource(&engineEnd);
        engine->SetSink(&engineEnd);
        return status;
    }

    // Services until the engine has moved `target` periods in all.
    void ServiceUntil(std::uint64_t target) {
        for (int round = 0; round < PatienceRounds && engine->Counters().periods < target;
             ++round) {
            const NTSTATUS status = engine->ServicePeriods(ServiceWait);
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << std::hex << status;
        }
        ASSERT_EQ(engine->Counters().periods, target);
    }

    // Waits until the driver's last tick has seen the client at `position`.
    void WaitUntilDriverSees(std::uint32_t position) {
        const std::uint32_t frames = engine->BufferBytes() / engine->Format().Format.nBlockAlign;
        for (int round = 0; round < PatienceRounds * 100; ++round) {
            const conduit::StreamView view = connection->Read();
            if (connection->ClientPosition() == position && view.bufferFrames == frames &&
                view.aheadFrames != 0 &&
                (view.driverPosition + frames - view.aheadFrames % frames) % frames ==
                    position % frames) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        FAIL() << "the driver never saw position " << position;
    }

    // One period through the buffer: the client moves it, the engine serves it.
    void MovePeriods(int periods) {
        for (int i = 0; i < periods; ++i) {
            const std::uint64_t before = engine->Counters().periods;
            clock.Grant(engine->FramesPerPeriod());
            ServiceUntil(before + 1);
        }
    }

    host::Process* audio = nullptr;
    host::Process* clientProcess = nullptr;
    std::unique_ptr<ClientBackend> backend;
    std::unique_ptr<conduit::Connection> connection;
    SteppedClock clock;
    ScriptedPolicy policy;
    std::unique_ptr<conduit::Session> session;
    std::thread sessionThread;
    std::atomic<bool> stop{false};
    PatternEnds clientEnd;
    PatternEnds engineEnd;
    std::unique_ptr<AudioEngine> engine;
};

const Variant Variants[] = {
    {"render, position register, two notifications", true, TransferMode::Position, true, 2, true},
    {"render, position property, one notification", true, TransferMode::Position, true, 1, false},
    {"render, polled position register", true, TransferMode::Position, false, 2, true},
    {"render, polled position property", true, TransferMode::Position, false, 2, false},
    {"render, packets", true, TransferMode::Packet, true, 2, false},
    {"capture, position register, two notifications", false, TransferMode::Position, true, 2, true},
    {"capture, position property, one notification", false, TransferMode::Position, true, 1, false},
    {"capture, polled position property", false, TransferMode::Position, false, 2, false},
    {"capture, packets", false, TransferMode::Packet, true, 2, false},
};

TEST_F(AudioEngineTest, OpensTheFilterInTheDeviceFormat) {
    for (bool render : {true, false}) {
        SCOPED_TRACE(render ? "wave_r" : "wave_c");
        ConnectClient(render, 600);
        ASSERT_EQ(OpenEngine({"", render, TransferMode::Position, true, 2, true}), STATUS_SUCCESS);
        EXPECT_EQ(engine->Format().Format.nSamplesPerSec, 48000u);
        EXPECT_EQ(engine->Format().Format.nBlockAlign, 4);
        // 10 ms asked for; the device's latency of 600 frames is the larger.
        EXPECT_EQ(engine->BufferBytes(), 600u * 4);
        EXPECT_EQ(engine->FramesPerPeriod(), 300u);
        EXPECT_TRUE(engine->UsesPositionRegister());
        EXPECT_EQ(connection->Read().bufferFrames, 600u);
        EndRound();
    }
    engine = std::make_unique<AudioEngine>(*audio);
    EngineOptions options;
    options.filterName = u"wave_x";
    EXPECT_EQ(engine->Open(options), STATUS_OBJECT_NAME_NOT_FOUND);
    options.filterName = u"topo_r"; // a filter without a streaming pin
    EXPECT_EQ(engine->Open(options), STATUS_NOT_FOUND);
    EXPECT_EQ(engine->Filter(), nullptr);
}

TEST_F(AudioEngineTest, AudioArrivesBitExactInEveryMode) {
    const int periods = 7;
    for (const Variant& variant : Variants) {
        SCOPED_TRACE(variant.name);
        clientEnd.Reset();
        engineEnd.Reset();
        ConnectClient(variant.render);
        ASSERT_EQ(OpenEngine(variant), STATUS_SUCCESS);
        ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
        const std::uint64_t prefill = variant.render ? engine->PeriodsPerBuffer() : 0;
        ASSERT_EQ(engine->Counters().periods, prefill);
        MovePeriods(periods);

        const std::uint64_t periodBytes = std::uint64_t(engine->FramesPerPeriod()) * 4;
        const std::vector<std::uint8_t> expected = Pattern(0, periods * periodBytes);
        // Render: the client has read what the engine wrote; capture: the other way round.
        const std::vector<std::uint8_t> arrived =
            variant.render ? clientEnd.Received() : engineEnd.Received();
        EXPECT_TRUE(arrived == expected) << arrived.size() << " bytes arrived";
        const host::engine::EngineCounters& counters = engine->Counters();
        EXPECT_EQ(counters.periods, prefill + periods);
        EXPECT_EQ(counters.framesMoved, (prefill + periods) * engine->FramesPerPeriod());
        EXPECT_EQ(counters.glitches, 0u);
        EXPECT_EQ(counters.latePackets, 0u);
        if (variant.notifications) {
            EXPECT_GE(counters.wakeups, std::uint64_t(periods));
        }
        EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(connection->Read().state, conduit::StreamState::Stop);
        engine->Close();
        EXPECT_EQ(engine->Pin(), nullptr);
        EndRound();
    }
}

// The client runs ahead of an engine that does not serve: three periods pass before the engine
// looks again, one more than the two-period buffer can hold.
TEST_F(AudioEngineTest, PeriodsTheDeviceRanPastAreCountedAsGlitches) {
    struct Case {
        Variant variant;
        int ahead;
        std::uint64_t glitches;
        std::uint64_t latePackets;
        std::uint64_t served; // periods moved by the late service
    };
    const Case cases[] = {
        // Packets 3 and 4 are offered and refused as late; packet 5 is the one the device expects.
        {{"render, packets", true, TransferMode::Packet, true, 2, false}, 3, 2, 2, 1},
        // Packets 1 to 3 are read; packets 1 and 2 were written over.
        {{"capture, packets", false, TransferMode::Packet, true, 2, false}, 3, 2, 0, 1},
        // A whole buffer went by: the engine finds the device back in the period it left.
        {{"render, position", true, TransferMode::Position, true, 2, true}, 2, 1, 0, 1},
        {{"capture, position", false, TransferMode::Position, true, 2, false}, 2, 1, 0, 1},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.variant.name);
        ConnectClient(item.variant.render);
        ASSERT_EQ(OpenEngine(item.variant), STATUS_SUCCESS);
        ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
        MovePeriods(1);
        const std::uint32_t frames = engine->FramesPerPeriod();
        for (int i = 1; i <= item.ahead; ++i) {
            clock.Grant(frames);
            WaitUntilDriverSees(frames * (1 + i));
        }
        const std::uint64_t before = engine->Counters().periods;
        ASSERT_EQ(engine->ServicePeriods(ServiceWait), STATUS_SUCCESS);
        const host::engine::EngineCounters& counters = engine->Counters();
        EXPECT_EQ(counters.glitches, item.glitches);
        EXPECT_EQ(counters.latePackets, item.latePackets);
        EXPECT_EQ(counters.periods - before, item.served);
        // The engine is back in step: the next period is served without another glitch.
        MovePeriods(1);
        EXPECT_EQ(engine->Counters().glitches, item.glitches);
        EXPECT_EQ(engine->Counters().latePackets, item.latePackets);
        if (item.variant.render == false && item.variant.mode == TransferMode::Packet) {
            // What the engine kept is the newest data, intact: packets 3 and 4.
            const std::uint64_t periodBytes = std::uint64_t(frames) * 4;
            const std::vector<std::uint8_t> received = engineEnd.Received();
            const std::vector<std::uint8_t> newest =
                Pattern(item.ahead * periodBytes, 2 * periodBytes);
            ASSERT_GE(received.size(), newest.size());
            EXPECT_TRUE(std::equal(newest.begin(), newest.end(), received.end() - newest.size()));
        }
        EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
        EndRound();
    }
}

// The client's counter starts a few periods short of 2^32 (the stream's baseline moved there
// with it, as if the client had streamed that far) and runs across the wrap in a buffer whose
// length does not divide 2^32: both ends keep their place in the buffer, bit-exact.
TEST_F(AudioEngineTest, StreamsAcrossTheClientCounterWrap) {
    const Variant variants[] = {
        {"render, position register", true, TransferMode::Position, true, 2, true},
        {"capture, packets", false, TransferMode::Packet, true, 2, false},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        clientEnd.Reset();
        engineEnd.Reset();
        ConnectClient(variant.render, 481); // 482 frames once cut into two packets
        ASSERT_EQ(OpenEngine(variant), STATUS_SUCCESS);
        ASSERT_EQ(engine->BufferBytes(), 482u * 4);
        TransportChannel& channel =
            variant.render ? Adapter()->captureChannel : Adapter()->renderChannel;
        auto* stream = static_cast<CMiniportWaveRTStream*>(channel.liveStream);
        ASSERT_NE(stream, nullptr);
        const ULONG start = 0u - 5 * engine->FramesPerPeriod() / 2;
        stream->PositionLock.Lock();
        stream->lastClientPosition = start;
        channel.controlBlock->ClientPosition = start;
        stream->PositionLock.Unlock();
        ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
        MovePeriods(6);
        EXPECT_LT(connection->ClientPosition(), start) << "the counter went round";
        const std::vector<std::uint8_t> expected =
            Pattern(0, 6 * std::uint64_t(engine->FramesPerPeriod()) * 4);
        EXPECT_TRUE((variant.render ? clientEnd.Received() : engineEnd.Received()) == expected);
        EXPECT_EQ(engine->Counters().glitches, 0u);
        EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
        EndRound();
    }
}

// Stop, close, and open again with another buffer: the client follows the new stream from its
// first frame, and what it writes reaches the engine without a gap.
TEST_F(AudioEngineTest, RestartsWithANewBuffer) {
    ConnectClient(false);
    std::uint64_t bytes = 0;
    for (std::uint32_t request : {480u * 4, 1000u * 4}) {
        engine = std::make_unique<AudioEngine>(*audio);
        EngineOptions options;
        options.filterName = u"wave_c";
        options.mode = TransferMode::Packet;
        options.requestedBufferBytes = request;
        ASSERT_EQ(engine->Open(options), STATUS_SUCCESS);
        engine->SetSink(&engineEnd);
        ASSERT_EQ(engine->BufferBytes(), request);
        ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
        MovePeriods(3);
        bytes += 3 * std::uint64_t(engine->FramesPerPeriod()) * 4;
        EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
        engine->Close();
    }
    EXPECT_TRUE(engineEnd.Received() == Pattern(0, bytes));
}

// The format the endpoint's store holds is offered back to the device first; a stored format
// the device refuses, or one that cannot be read, leaves the engine with the intersection's.
TEST_F(AudioEngineTest, TakesTheStoredFormatTheDeviceAccepts) {
    ConnectClient(true);
    host::AudioEndpoint speaker;
    for (const host::AudioEndpoint& endpoint : host::ListAudioEndpoints()) {
        speaker = endpoint.flow == host::EndpointFlow::Render ? endpoint : speaker;
    }
    ASSERT_FALSE(speaker.propertiesPath.empty());
    auto stored = [](ULONG rate, DWORD mask, std::size_t bytes) {
        WAVEFORMATEXTENSIBLE record{};
        record.Format = {WAVE_FORMAT_EXTENSIBLE, 2, rate, rate * 4, 4, 16, 22};
        record.Samples.wValidBitsPerSample = 16;
        record.dwChannelMask = mask;
        record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        std::vector<std::uint8_t> value = {0x41, 0, 0, 0, 40, 0, 0, 0}; // a VT_BLOB of 40 bytes
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&record);
        value.insert(value.end(), raw, raw + sizeof(record));
        value.resize(bytes);
        return value;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> value;
        DWORD mask; // the stored mask shows the stored format was taken
    };
    const Case cases[] = {
        {"the device's format, other speakers", stored(48000, 0x600, 48), 0x600},
        {"another rate", stored(44100, 0x600, 48), 0x3},
        {"a value cut short", stored(48000, 0x600, 40), 0x3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::WriteRegistryValue(speaker.propertiesPath, host::EndpointDeviceFormatProperty,
                                 REG_BINARY, c.value);
        engine = std::make_unique<AudioEngine>(*audio);
        EngineOptions options;
        options.filterName = u"wave_r";
        options.formatSource = host::engine::FormatSource::EndpointStore;
        ASSERT_EQ(engine->Open(options), STATUS_SUCCESS);
        EXPECT_EQ(engine->Format().Format.nSamplesPerSec, 48000u);
        EXPECT_EQ(engine->Format().dwChannelMask, c.mask);
        engine.reset();
    }
}

TEST_F(AudioEngineTest, StartStepsBackDownWhenTheClientRefusesAState) {
    ConnectClient(true);
    ASSERT_EQ(OpenEngine({"", true, TransferMode::Position, true, 2, true}), STATUS_SUCCESS);
    for (conduit::StreamState refused :
         {conduit::StreamState::Acquire, conduit::StreamState::Pause, conduit::StreamState::Run}) {
        SCOPED_TRACE(static_cast<int>(refused));
        policy.failState = static_cast<int>(refused);
        EXPECT_EQ(engine->Start(), NTSTATUS(policy.failure));
        EXPECT_EQ(engine->State(), KSSTATE_STOP);
        EXPECT_EQ(connection->Read().state, conduit::StreamState::Stop);
        EXPECT_EQ(policy.failState.load(), -1) << "the refused state was never asked for";
    }
    // Nothing is left half-started: the next start runs and audio flows.
    ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
    EXPECT_EQ(connection->Read().state, conduit::StreamState::Run);
    MovePeriods(2);
    EXPECT_EQ(engine->Counters().glitches, 0u);
}

TEST_F(AudioEngineTest, StopsAndClosesAfterTheClientIsGone) {
    for (TransferMode mode : {TransferMode::Position, TransferMode::Packet}) {
        SCOPED_TRACE(mode == TransferMode::Position ? "position" : "packets");
        clientProcess = &NewProcess(false, "client");
        backend = std::make_unique<ClientBackend>(*clientProcess);
        ConnectClient(true);
        ASSERT_EQ(OpenEngine({"", true, mode, true, 2, false}), STATUS_SUCCESS);
        ASSERT_EQ(engine->Start(), STATUS_SUCCESS);
        MovePeriods(2);
        StopClient();
        Exit(*clientProcess);
        // Nothing moves any more, and asking does not hang.
        EXPECT_NE(engine->ServicePeriods(std::chrono::milliseconds(5)), STATUS_SUCCESS);
        EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(engine->State(), KSSTATE_STOP);
        engine->Close();
        EXPECT_EQ(engine->Pin(), nullptr);
        EXPECT_EQ(engine->Filter(), nullptr);
        engine.reset();
        connection.reset();
    }
}

} // namespace

namespace {

// The client moves 60 frames at a time through 48-frame periods, never holding at a boundary,
// and asks for a tick after each move; the requests may also collapse into fewer runs of the
// worker. Two boundaries often pass between two ticks, and the driver alone must count every
// period: the engine's packet count equals the periods the client completed.
TEST_F(AudioEngineTest, CoalescedTickRequestsLoseNoPeriod) {
    ConnectClient(true, 96, true);
    engine = std::make_unique<AudioEngine>(*audio);
    EngineOptions options;
    options.filterName = u"wave_r";
    options.requestedBufferBytes = 96 * 4;
    ASSERT_EQ(engine->Open(options), STATUS_SUCCESS);
    engine->SetSource(&engineEnd);
    ASSERT_EQ(engine->FramesPerPeriod(), 48u);
    ASSERT_EQ(engine->Start(), STATUS_SUCCESS);

    for (int grant = 0; grant < 200; ++grant) {
        clock.Grant(60);
        while (clock.Pending() != 0) {
            std::this_thread::yield();
        }
    }
    StopClient(); // the step that took the last grant still moves it and asks for its tick
    const std::uint64_t moved = session->stats().framesMoved;
    EXPECT_EQ(moved, 200u * 60);
    EXPECT_LT(session->stats().ticks, moved / 48) << "no tick had two boundaries to count";
    WaitUntilDriverSees(connection->ClientPosition());

    ULONG packets = 0;
    {
        host::ProcessScope scope(audio);
        ASSERT_EQ(host::engine::GetProperty(engine->Pin(), KSPROPSETID_RtAudio,
                                            KSPROPERTY_RTAUDIO_PACKETCOUNT, &packets),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(packets, moved / 48) << moved << " frames moved";

    // The session answers the handshakes of the engine's steps down again.
    stop = false;
    sessionThread = std::thread([this] { session->Run(stop); });
}

} // namespace
