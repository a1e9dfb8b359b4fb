// The whole path in both directions at once, through the driver, the simulated engine and the
// client library, on the fast clock: each row must arrive bit-exact both ways with nothing lost,
// late or copied, and nothing may be left behind at the unload.
//
// The rows cover, rather than multiply out, {position with notifications, position polled,
// packets} x {latency 1 frame, even, odd, the whole data buffer} x {client holding at period
// boundaries, coalescing its ticks} x {pauses mid-stream or none} x formats from 1-byte to 32-byte
// frames, 8 to 384 kHz, 1 to 8 channels: every transfer mode meets every latency class, each
// half of them coalescing and pausing, each format at least twice; a few rows add the fall-back
// to a plain buffer, the format from the endpoint store, a 32-bit client, tick requests far
// more frequent than periods, and the low-latency engine at the smallest declared period. One
// period per buffer is left to the engine tests: with a client a whole buffer ahead there is no
// half the engine may fill while the client reads the other.
#include <gtest/gtest.h>

#include <ostream>

#include "EndToEnd.h"
#include "transport/TransportProtocol.h"
#include "ImageUnderTest.h"

namespace {

using conduit::DeviceFormat;
using conduit::tool::EndToEndOptions;
using conduit::tool::EndToEndResult;
using host::engine::FormatSource;
using host::engine::TransferMode;

enum class Mode { Position, Polled, Packet };
enum class Latency { OneFrame, Even, Odd, WholeBuffer };

const DeviceFormat Mono8{8000, 8, 1, 1, 0};
const DeviceFormat Stereo16{22050, 16, 2, 2, 0};
const DeviceFormat Stereo24{48000, 24, 2, 3, 0}; // 6-byte frames
// 9-byte frames: 10 ms at 44.1 kHz is an odd number of bytes, which no two notification periods
// share; its rows have the engine ask for 20 ms.
const DeviceFormat Three20{44100, 20, 3, 3, 0};
const DeviceFormat Six24In32{96000, 24, 6, 4, 0}; // 24-byte frames
const DeviceFormat Eight32{384000, 32, 8, 4, 0};  // 32-byte frames

struct Case {
    Mode mode;
    Latency latency;
    DeviceFormat format;
    bool coalesce;
    std::uint32_t pauses;
    // Rarer variations.
    std::uint32_t engineRequestBytes = 0; // 0: 10 ms
    bool endpointStore = false;
    bool client32Bit = false;
    std::uint32_t grantQuantum = 0;
    bool lowLatency = false;
};

std::uint32_t FrameBytes(const DeviceFormat& format) {
    return format.channels * format.containerBytes;
}

std::uint32_t LatencyFrames(const Case& c) {
    const std::uint32_t twentyMs = c.format.sampleRate / 50;
    switch (c.latency) {
    case Latency::OneFrame:
        return 1;
    case Latency::Even:
        return twentyMs + twentyMs % 2;
    case Latency::Odd:
        return twentyMs | 1;
    default:
        return transport::DataBufferSize / FrameBytes(c.format);
    }
}

std::string Name(const Case& c) {
    static const char* const modes[] = {"Position", "Polled", "Packet"};
    std::string name = modes[int(c.mode)];
    name += "_Latency" + std::to_string(LatencyFrames(c));
    name += c.coalesce ? "_Coalescing" : "_Holding";
    if (c.pauses != 0) {
        name += "_Pauses" + std::to_string(c.pauses);
    }
    name += "_" + std::to_string(c.format.sampleRate) + "Hz" +
            std::to_string(c.format.bitsPerSample) + "in" +
            std::to_string(c.format.containerBytes * 8) + "x" + std::to_string(c.format.channels);
    if (c.engineRequestBytes != 0) {
        name += "_EngineAsks" + std::to_string(c.engineRequestBytes);
    }
    name += c.endpointStore ? "_StoredFormat" : "";
    name += c.client32Bit ? "_Client32" : "";
    name += c.grantQuantum != 0 ? "_Grants" + std::to_string(c.grantQuantum) : "";
    name += c.lowLatency ? "_LowLatency" : "";
    return name;
}

// What ctest shows for a row: its name, not its bytes.
void PrintTo(const Case& c, std::ostream* out) {
    *out << Name(c);
}

std::string Describe(const EndToEndResult& result) {
    std::string text = result.failure;
    for (const std::string& problem : result.verifierProblems) {
        text += "\nverifier: " + problem;
    }
    text += "\nplay first difference " + std::to_string(result.play.firstDifferentFrame) +
            ", record first difference " + std::to_string(result.record.firstDifferentFrame);
    return text;
}

class EndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(EndToEnd, BothDirectionsArriveBitExact) {
    const Case& c = GetParam();
    EndToEndOptions options;
    options.imagePath = DriverImageUnderTest();
    options.fast = true;
    options.mode = c.mode == Mode::Packet ? TransferMode::Packet : TransferMode::Position;
    options.withNotifications = c.mode != Mode::Polled;
    options.format = c.format;
    options.latencyFrames = LatencyFrames(c);
    options.coalesce = c.coalesce;
    options.pauses = c.pauses;
    options.engineRequestBytes = c.engineRequestBytes;
    options.formatSource =
        c.endpointStore ? FormatSource::EndpointStore : FormatSource::Intersection;
    options.client32Bit = c.client32Bit;
    options.grantQuantum = c.grantQuantum;
    options.lowLatency = c.lowLatency;
    // Two and a half buffers: laps of the buffer, ending mid-period.
    const std::uint64_t bufferFrames =
        std::max<std::uint64_t>(c.format.sampleRate / 100, options.latencyFrames);
    options.frames = bufferFrames * 5 / 2 + 7;

    const EndToEndResult result = conduit::tool::RunEndToEnd(options);
    ASSERT_TRUE(result.passed()) << Describe(result);
    // A request the engine cannot cut into two notification periods falls back to polling.
    const std::uint32_t request = c.engineRequestBytes != 0
                                      ? c.engineRequestBytes
                                      : c.format.sampleRate / 100 * FrameBytes(c.format);
    const bool notified = options.withNotifications && (request % 2 == 0 || c.lowLatency);
    EXPECT_EQ(result.notified, notified);
    EXPECT_EQ(result.mode, notified ? options.mode : TransferMode::Position);
    EXPECT_EQ(result.pauses, c.pauses);
    if (c.lowLatency) {
        ASSERT_TRUE(result.declared.declared);
        EXPECT_EQ(result.framesPerPeriod, result.declared.periodFrames);
    }
    EXPECT_EQ(result.bytesCopiedByDriver, 0u);
    // The counter is live: negotiating the format copies the driver's answers.
    EXPECT_GT(result.bytesCopiedOutsideStreaming, 0u);
    for (const conduit::tool::DirectionResult* direction : {&result.play, &result.record}) {
        EXPECT_EQ(direction->engine.glitches, 0u);
        EXPECT_EQ(direction->engine.latePackets, 0u);
        EXPECT_EQ(direction->session.framesDropped, 0u);
        EXPECT_EQ(direction->session.inconsistencies, 0u) << direction->session.lastInconsistency;
        EXPECT_EQ(direction->session.failedAnswers, 0u);
        EXPECT_GE(direction->session.framesMoved, options.frames);
    }
    if (c.grantQuantum != 0) {
        // Ticks were asked for far more often than there were periods, and coalesced.
        EXPECT_GT(result.play.session.ticks, 4 * (options.frames / result.framesPerPeriod));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, EndToEnd,
    ::testing::Values(
        Case{Mode::Position, Latency::OneFrame, Stereo16, false, 0},
        Case{Mode::Position, Latency::Even, Mono8, true, 2},
        Case{Mode::Position, Latency::Odd, Stereo24, false, 2},
        Case{Mode::Position, Latency::WholeBuffer, Three20, true, 0, 7938},
        Case{Mode::Polled, Latency::OneFrame, Eight32, true, 0},
        Case{Mode::Polled, Latency::Even, Six24In32, false, 2},
        Case{Mode::Polled, Latency::Odd, Stereo16, true, 2},
        Case{Mode::Polled, Latency::WholeBuffer, Stereo24, false, 0},
        Case{Mode::Packet, Latency::OneFrame, Six24In32, false, 2},
        Case{Mode::Packet, Latency::Even, Three20, false, 0, 7938},
        Case{Mode::Packet, Latency::Odd, Mono8, true, 0},
        Case{Mode::Packet, Latency::Odd, Eight32, true, 2},
        Case{Mode::Packet, Latency::WholeBuffer, Stereo24, true, 2},
        Case{Mode::Packet, Latency::WholeBuffer, Stereo16, false, 0},
        // An odd request cannot be cut into two notification periods: the plain buffer.
        Case{Mode::Packet, Latency::OneFrame, Stereo16, true, 2, 1923},
        Case{Mode::Packet, Latency::Even, Stereo24, false, 0, 0, true},
        Case{Mode::Packet, Latency::Odd, Stereo16, true, 0, 0, false, true},
        Case{Mode::Position, Latency::Even, Stereo16, false, 0, 0, false, true},
        Case{Mode::Position, Latency::Even, Stereo16, true, 0, 0, false, false, 3},
        Case{Mode::Packet, Latency::Even, Stereo16, false, 0, 0, false, false, 3},
        Case{Mode::Packet, Latency::OneFrame, Three20, false, 2, 0, false, false, 0, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return Name(info.param); });

} // namespace
