// The whole path in both directions at once: the engine's signal must reach the client and the
// client's signal the engine bit-exact, in each transfer mode, for 64-bit and 32-bit clients,
// with the driver's tick requests coalescing, and nothing may be left behind at the unload.
#include <gtest/gtest.h>

#include "EndToEnd.h"
#include "ImageUnderTest.h"

namespace {

using conduit::tool::EndToEndOptions;
using conduit::tool::EndToEndResult;
using host::engine::TransferMode;

std::string Describe(const EndToEndResult& result) {
    std::string text = result.failure;
    for (const std::string& problem : result.verifierProblems) {
        text += "\nverifier: " + problem;
    }
    text += "\nplay first difference " + std::to_string(result.play.firstDifferentFrame) +
            ", record first difference " + std::to_string(result.record.firstDifferentFrame);
    return text;
}

// What every successful run must show besides the bit-exact streams.
void ExpectCleanRun(const EndToEndResult& result, std::uint64_t frames) {
    ASSERT_TRUE(result.passed()) << Describe(result);
    EXPECT_EQ(result.play.received.size(), result.play.sent.size());
    for (const conduit::tool::DirectionResult* direction : {&result.play, &result.record}) {
        EXPECT_EQ(direction->engine.glitches, 0u);
        EXPECT_EQ(direction->engine.latePackets, 0u);
        EXPECT_EQ(direction->session.framesDropped, 0u);
        EXPECT_EQ(direction->session.inconsistencies, 0u) << direction->session.lastInconsistency;
        EXPECT_EQ(direction->session.failedAnswers, 0u);
        // A buffer, three steps up and three down, the buffer's release.
        EXPECT_GE(direction->session.handshakes, 8u);
        EXPECT_GE(direction->session.framesMoved, frames);
    }
    EXPECT_EQ(result.bytesCopiedByDriver, 0u);
    // The counter is live: negotiating the format copies the driver's answers.
    EXPECT_GT(result.bytesCopiedOutsideStreaming, 0u);
}

struct Case {
    const char* name;
    TransferMode mode;
    bool notifications;
    bool client32Bit;
};

class EndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(EndToEnd, BothDirectionsArriveBitExact) {
    EndToEndOptions options;
    options.imagePath = DriverImageUnderTest();
    options.mode = GetParam().mode;
    options.withNotifications = GetParam().notifications;
    options.client32Bit = GetParam().client32Bit;
    options.fast = true;
    options.frames = 9000; // several laps of the 960-frame buffer, ending mid-period
    const EndToEndResult result = conduit::tool::RunEndToEnd(options);
    ExpectCleanRun(result, options.frames);
    // The engine served every period the client completed: none was lost on the way.
    const std::uint64_t periods = options.frames / result.framesPerPeriod;
    EXPECT_GE(result.record.engine.periods, periods);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EndToEnd,
    ::testing::Values(Case{"Position", TransferMode::Position, true, false},
                      Case{"PositionPolled", TransferMode::Position, false, false},
                      Case{"Packet", TransferMode::Packet, true, false},
                      Case{"PositionClient32", TransferMode::Position, true, true},
                      Case{"PacketClient32", TransferMode::Packet, true, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Other device formats travel unchanged too: 8-bit samples (silence 0x80), 24 bits in 4-byte
// containers, six channels.
TEST(EndToEndFormats, UnusualFormatsArriveBitExact) {
    const conduit::DeviceFormat formats[] = {
        {22050, 8, 1, 1, 0},
        {96000, 24, 2, 4, 0},
        {44100, 16, 6, 2, 0},
    };
    for (const conduit::DeviceFormat& format : formats) {
        SCOPED_TRACE(std::to_string(format.sampleRate) + " Hz, " +
                     std::to_string(format.bitsPerSample) + " bits, " +
                     std::to_string(format.channels) + " channels");
        EndToEndOptions options;
        options.imagePath = DriverImageUnderTest();
        options.fast = true;
        options.format = format;
        options.latencyFrames = 600;
        options.frames = 4000;
        ExpectCleanRun(conduit::tool::RunEndToEnd(options), options.frames);
    }
}

// Grants of a few frames make the client ask for a tick after every few frames, much faster
// than the worker thread drains the requests, so several requests collapse into one run of the
// worker. The engine must still count exactly the periods the client completed.
TEST(EndToEndCoalescing, CoalescedTicksLoseNoPeriod) {
    for (TransferMode mode : {TransferMode::Position, TransferMode::Packet}) {
        SCOPED_TRACE(mode == TransferMode::Packet ? "packet mode" : "position mode");
        EndToEndOptions options;
        options.imagePath = DriverImageUnderTest();
        options.mode = mode;
        options.fast = true;
        options.grantQuantum = 3;
        options.latencyFrames = 96; // 48-frame periods: many boundaries to lose
        options.frames = 4800;
        const EndToEndResult result = conduit::tool::RunEndToEnd(options);
        ExpectCleanRun(result, options.frames);
        ASSERT_NE(result.framesPerPeriod, 0u);
        // Ticks were asked for far more often than there were periods.
        EXPECT_GT(result.play.session.ticks, 4 * (options.frames / result.framesPerPeriod));
        // The engine serves each period the client completes, and may be one behind when the
        // run stops. Playing, it also counts the two periods it filled before the start.
        const std::uint64_t read = result.play.session.framesMoved / result.framesPerPeriod;
        EXPECT_GE(result.play.engine.periods, read + 1);
        EXPECT_LE(result.play.engine.periods, read + 2);
        const std::uint64_t written = result.record.session.framesMoved / result.framesPerPeriod;
        EXPECT_GE(result.record.engine.periods + 1, written);
        EXPECT_LE(result.record.engine.periods, written);
    }
}

} // namespace
