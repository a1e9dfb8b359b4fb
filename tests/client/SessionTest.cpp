// The session against the fake driver: handshake answers (in time, failing, late, never),
// ticks that never lose a period, and shared fields that lie. Frames moving in ring order are
// proven end to end.
#include <gtest/gtest.h>

#include <cstring>

#include "FakeDriver.h"
#include "conduit/Client.h"

namespace conduit {
namespace {

using testing::FakeDriver;
constexpr std::int32_t DeviceNotReady = static_cast<std::int32_t>(0xC00000A3);

// Answers from a script, one per handshake.
struct ScriptedPolicy : HandshakePolicy {
    std::vector<HandshakeAnswer> script;
    std::vector<StreamView> seen;
    HandshakeAnswer Decide(const StreamView& view) override {
        seen.push_back(view);
        HandshakeAnswer answer = script.empty() ? HandshakeAnswer::Accept() : script.front();
        if (!script.empty()) {
            script.erase(script.begin());
        }
        return answer;
    }
};

// Records the ring offsets of the frames it is handed (each frame holds its offset).
struct OffsetSink : FrameSink {
    std::vector<std::uint32_t> offsets;
    void Consume(const StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t frames) override {
        for (std::uint32_t i = 0; i < frames; ++i) {
            std::uint32_t value = 0;
            std::memcpy(&value, bytes + i * format.blockAlign, 4);
            offsets.push_back(value);
        }
    }
};

// Writes a running frame counter into each frame.
struct CounterSource : FrameSource {
    std::uint32_t next = 0;
    void Produce(const StreamFormat& format, std::uint8_t* bytes, std::uint32_t frames) override {
        for (std::uint32_t i = 0; i < frames; ++i, ++next) {
            std::memset(bytes + i * format.blockAlign, 0, format.blockAlign);
            std::memcpy(bytes + i * format.blockAlign, &next, 4);
        }
    }
};

struct SessionTest : ::testing::Test {
    FakeDriver driver;
    std::unique_ptr<Connection> connection;
    ManualClock clock;
    ScriptedPolicy policy;

    void Open(Direction direction) {
        Status status = Connection::Open(driver, direction, &connection);
        ASSERT_TRUE(status.ok()) << status.ToString();
    }
    void Steps(Session& session, int count) {
        for (int i = 0; i < count; ++i) {
            Status status = session.Step();
            ASSERT_TRUE(status.ok()) << status.ToString();
        }
    }
};

TEST_F(SessionTest, HandshakeAnswersFollowThePolicy) {
    struct Case {
        const char* what;
        HandshakeAnswer answer;
        std::int32_t driverResult;
        bool awaitingAfter;
    } cases[] = {
        {"at once", HandshakeAnswer::Accept(), 0, false},
        {"failure", HandshakeAnswer::Fail(static_cast<std::int32_t>(0xC000000D)),
         static_cast<std::int32_t>(0xC000000D), false},
        {"just in time", HandshakeAnswer::Late(std::chrono::milliseconds(999)), 0, false},
        {"too late", HandshakeAnswer::Late(std::chrono::milliseconds(1500)), DeviceNotReady, true},
        {"never", HandshakeAnswer::Never(), DeviceNotReady, true},
    };
    for (const Case& c : cases) {
        FakeDriver fresh;
        std::unique_ptr<Connection> open;
        ASSERT_TRUE(Connection::Open(fresh, Direction::Capture, &open).ok());
        policy.script = {c.answer};
        Session session(*open, clock, policy);
        fresh.block.StreamOpen = 1;
        fresh.block.StreamState = 1;
        fresh.BeginHandshake();
        // Enough idle steps for more than the driver's second to pass.
        for (int i = 0; i < 100 && fresh.handshakeOpen; ++i) {
            ASSERT_TRUE(session.Step().ok());
        }
        EXPECT_FALSE(fresh.handshakeOpen) << c.what;
        EXPECT_EQ(fresh.lastHandshakeResult, c.driverResult) << c.what;
        EXPECT_EQ((fresh.block.HandshakeFlags & transport::AwaitingClient) != 0, c.awaitingAfter)
            << c.what;
        EXPECT_EQ(session.stats().handshakes, 1u) << c.what;
        const bool silent = c.answer.kind == HandshakeAnswer::Kind::Silent;
        EXPECT_EQ(fresh.answerNumbers,
                  silent ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{1})
            << c.what;
        EXPECT_EQ(session.stats().lateAnswers, c.awaitingAfter && !silent ? 1u : 0u) << c.what;
        // The policy saw what the driver wrote before signalling.
        ASSERT_EQ(policy.seen.size(), 1u);
        EXPECT_EQ(policy.seen[0].state, StreamState::Acquire);
        policy.seen.clear();
    }
}

TEST_F(SessionTest, NoTickReplacesAFailureTheDriverHasNotReadYet) {
    Open(Direction::Capture);
    driver.RunStream(2, 16, 48000, 960);
    Session session(*connection, clock, policy);
    clock.Advance(100);
    Steps(session, 1);
    ASSERT_EQ(driver.tickRequests, 1u);

    const std::int32_t refusal = static_cast<std::int32_t>(0xC000000D);
    policy.script = {HandshakeAnswer::Fail(refusal)};
    driver.deferHandshakeEnd = true;
    driver.BeginHandshake();
    clock.Advance(100);
    Steps(session, 3); // answers, moves frames, owes a tick
    EXPECT_EQ(driver.answers, std::vector<std::int32_t>{refusal});
    EXPECT_EQ(driver.tickRequests, 1u);
    EXPECT_EQ(driver.EndHandshake(), refusal);
    Steps(session, 1);
    EXPECT_EQ(driver.tickRequests, 2u);
}

// Across a pause nothing is lost: frames that fell due before it stay due, and a tick that
// reached the driver while the stream was paused (and was ignored) is asked for again once it
// runs, even with nothing new to move. Either loss can leave client and engine waiting on each
// other for good.
TEST_F(SessionTest, APauseLosesNeitherDueFramesNorTicks) {
    Open(Direction::Render);
    driver.RunStream(2, 16, 48000, 960);
    driver.workerRunsAtOnce = false;
    Session session(*connection, clock, policy);
    clock.Advance(700);
    Steps(session, 2); // 479 frames, then a hold at the boundary until the driver ticks
    ASSERT_EQ(session.stats().framesMoved, 479u);
    ASSERT_EQ(driver.tickRequests, 1u);
    driver.block.StreamState = 2;
    Steps(session, 2);
    driver.block.StreamState = 3;
    Steps(session, 2);
    EXPECT_EQ(driver.tickRequests, 2u);
    driver.RunWorker();
    Steps(session, 2);
    EXPECT_EQ(session.stats().framesMoved, 700u);

    // A pause and its resume can both pass between two looks at the block, which reads run each
    // time: the handshakes alone tell the client that a tick may have been ignored.
    const std::uint32_t ticks = driver.tickRequests;
    driver.BeginHandshake();
    Steps(session, 3);
    EXPECT_EQ(driver.tickRequests, ticks + 1);
}

TEST_F(SessionTest, ABlockAlignmentThatChangesKeepsMovesInsideTheNewBuffer) {
    Open(Direction::Render);
    driver.block.DataBufferBytes = 4096;
    connection.reset();
    Open(Direction::Render);
    driver.RunStream(2, 16, 48000, 1024); // exactly the window
    CounterSource source;
    Session session(*connection, clock, policy);
    session.SetSource(&source);
    clock.Advance(1000);
    Steps(session, 10);
    EXPECT_EQ(session.stats().framesMoved, 1000u);
    // A new stream format with 32-byte frames: the old buffer would now be 32 KiB, past the
    // window, so nothing moves until the driver publishes a buffer that fits.
    std::fill(driver.data.begin() + 4096, driver.data.end(), 0xEE);
    driver.WriteFormat(8, 32, 48000);
    clock.Advance(500);
    Steps(session, 10);
    EXPECT_EQ(session.stats().framesMoved, 1000u);
    EXPECT_NE(session.stats().lastInconsistency.find("reach past"), std::string::npos);
    driver.block.BufferFrames = 128; // 4,096 bytes of 32-byte frames
    clock.Advance(500);
    Steps(session, 20);
    EXPECT_GT(session.stats().framesMoved, 1000u);
    for (std::size_t i = 4096; i < driver.data.size(); ++i) {
        ASSERT_EQ(driver.data[i], 0xEE) << "byte " << i << " written outside the window";
    }
}

TEST_F(SessionTest, LiesInTheBlockNeverMoveFramesOutside) {
    struct Case {
        const char* what;
        void (*corrupt)(FakeDriver&);
    } cases[] = {
        {"state 9", [](FakeDriver& d) { d.block.StreamState = 9; }},
        {"huge buffer", [](FakeDriver& d) { d.block.BufferFrames = 0xFFFFFFFF; }},
        {"block alignment 0", [](FakeDriver& d) { d.block.StreamFormat[12] = 0; }},
        {"channels 200", [](FakeDriver& d) { d.block.StreamFormat[2] = 200; }},
    };
    for (const Case& c : cases) {
        FakeDriver fresh;
        std::unique_ptr<Connection> open;
        ASSERT_TRUE(Connection::Open(fresh, Direction::Render, &open).ok());
        fresh.RunStream(2, 16, 48000, 960);
        c.corrupt(fresh);
        std::fill(fresh.data.begin(), fresh.data.end(), 0xEE);
        ManualClock manual;
        Session session(*open, manual, policy);
        manual.Advance(5000);
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(session.Step().ok()) << c.what;
        }
        EXPECT_EQ(session.stats().framesMoved, 0u) << c.what;
        EXPECT_GE(session.stats().inconsistencies, 1u) << c.what;
        EXPECT_EQ(fresh.tickRequests, 0u) << c.what;
        for (std::uint8_t byte : fresh.data) {
            ASSERT_EQ(byte, 0xEE) << c.what;
        }
    }
}

TEST_F(SessionTest, OneFrameBufferAndStopReset) {
    Open(Direction::Capture);
    driver.RunStream(2, 16, 48000, 1);
    OffsetSink sink;
    Session session(*connection, clock, policy);
    session.SetSink(&sink);
    clock.Advance(1);
    Steps(session, 3);
    clock.Advance(1);
    Steps(session, 3);
    EXPECT_EQ(sink.offsets.size(), 2u);
    EXPECT_EQ(driver.block.ClientPosition, 2u);
    EXPECT_EQ(driver.block.PositionRegister, 0u);

    // The stream steps down to stop and the driver resets the counter: the client takes it up
    // from there and its next frame is the buffer's first again.
    driver.block.StreamState = 0;
    policy.script = {HandshakeAnswer::Accept()};
    driver.BeginHandshake();
    Steps(session, 2);
    EXPECT_EQ(session.position(), 2u) << "the client never resets the counter itself";
    driver.block.ClientPosition = 0;
    Steps(session, 1);
    EXPECT_EQ(session.position(), 0u);
}

} // namespace
} // namespace conduit
