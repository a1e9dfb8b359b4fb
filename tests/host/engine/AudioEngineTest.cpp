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
#include "conduit/Client.h"

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
        backend = std::make_unique<conduit::HostBackend>(*clientProcess);
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
    void ConnectClient(bool render, std::uint32_t latencyFrames = 480) {
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
        session = std::make_unique<conduit::Session>(*connection, clock, policy,
                                                     conduit::SessionOptions{});
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
    std::unique_ptr<conduit::HostBackend> backend;
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

// The end-to-end matrix streams every mode through the position register with two
// notifications; these are the reads and notification counts it leaves out.
const Variant Variants[] = {
    {"render, position property, one notification", true, TransferMode::Position, true, 1, false},
    {"render, polled position property", true, TransferMode::Position, false, 2, false},
    {"capture, position property, one notification", false, TransferMode::Position, true, 1, false},
    {"capture, polled position property", false, TransferMode::Position, false, 2, false},
};

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

} // namespace
