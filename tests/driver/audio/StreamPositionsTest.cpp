// The stream's position and size arithmetic, case by case: the published figures, the wraps of
// the buffer and of the client's counter, and the inputs that would divide by zero or overflow.
#include <gtest/gtest.h>

#include "audio/StreamPositions.h"

namespace {

TEST(StreamPositions, FramesAhead) {
    struct Case {
        ULONG position, client, frames, expected;
    };
    const Case cases[] = {
        {100, 40, 960, 60},                  // the stream leads the client
        {40, 100, 960, 900},                 // the client leads: the distance wraps
        {300, 300, 960, 960},                // equal positions: a whole buffer
        {0, 959, 960, 1},      {5, 3, 0, 0}, // no buffer
        {1500, 100, 960, 440},               // a position left over from a larger buffer is reduced
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FramesAhead(c.position, c.client, c.frames), c.expected)
            << c.position << " " << c.client << " " << c.frames;
    }
}

TEST(StreamPositions, PeriodsCompleted) {
    struct Case {
        ULONGLONG from, to;
        ULONG bufferFrames, framesPerPeriod, periods, expected;
    };
    const Case cases[] = {
        {0, 470, 960, 480, 2, 0},    // inside the first period
        {470, 485, 960, 480, 2, 1},  // into the second
        {485, 950, 960, 480, 2, 0},  //
        {950, 965, 960, 480, 2, 1},  // the wrap closes the second
        {470, 965, 960, 480, 2, 2},  // two boundaries between two ticks: both count
        {100, 1060, 960, 480, 2, 2}, // exactly one lap
        {950, 1925, 960, 480, 2, 3}, // a lap and a boundary
        // Ten laps and a half: one lap is kept, and the odd count keeps the packet parity.
        {100, 100 + 10 * 960 + 480, 960, 480, 2, 3},
        // One period per buffer: only the wrap ends it.
        {500, 900, 960, 960, 1, 0},
        {900, 1000, 960, 960, 1, 1},
        {100, 2020, 960, 960, 1, 1},
        // 2,001 frames in two periods of 1,000: the last frame belongs to the second period.
        {1999, 2000, 2001, 1000, 2, 0},
        {2000, 2004, 2001, 1000, 2, 1},
        {999, 1000, 2001, 1000, 2, 1},
        // Counts beyond 32 bits are ordinary counts.
        {0xFFFFFF00ull - 10, 0xFFFFFF00ull + 500, 960, 480, 2, 2},
        // Nothing to count: no move, no buffer, no whole period.
        {300, 300, 960, 480, 2, 0},
        {0, 5000, 0, 480, 2, 0},
        {0, 5000, 1, 0, 2, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PeriodsCompleted(c.from, c.to, c.bufferFrames, c.framesPerPeriod, c.periods),
                  c.expected)
            << c.from << " -> " << c.to << " in " << c.periods << " x " << c.framesPerPeriod;
    }
}

// A client counter that wraps at 2^32 moves the place in the buffer by exactly the frames it
// advanced, also when the buffer's length does not divide 2^32; its raw value reduced would jump.
TEST(StreamPositions, CounterWrapKeepsThePlaceInTheBuffer) {
    const ULONG bufferFrames = 961;
    ULONG counter = 0xFFFFFC00u;
    ULONGLONG frames = 12345;
    for (int step = 0; step < 20; ++step) {
        const ULONG next = counter + 100;
        const ULONGLONG advanced = AdvanceClientFrames(frames, counter, next);
        ASSERT_EQ(advanced, frames + 100) << step;
        EXPECT_EQ(FrameInBuffer(advanced, bufferFrames),
                  (FrameInBuffer(frames, bufferFrames) + 100) % bufferFrames)
            << step;
        counter = next;
        frames = advanced;
    }
    EXPECT_LT(counter, 0x1000u) << "the counter went round";
    EXPECT_EQ(FrameInBuffer(frames, 0), 0u);
}

TEST(StreamPositions, AlignToFramesAndFramesForRequest) {
    struct Case {
        ULONG request, blockAlign;
        ULONGLONG aligned;
        ULONG frames;
    };
    const Case cases[] = {
        {8002, 4, 8004, 2001},
        {7, 4, 8, 2},
        {1, 18, 18, 1},
        // Near the 32-bit limit the sum must not wrap round to a small size.
        {0xFFFFFFFF, 4, 0x100000000ull, 0x40000000},
        {100, 0, 100, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AlignToFrames(c.request, c.blockAlign), c.aligned) << c.request;
        EXPECT_EQ(FramesForRequest(c.request, c.blockAlign), c.frames) << c.request;
    }
}

TEST(StreamPositions, StreamBufferBytes) {
    struct Case {
        ULONGLONG aligned;
        ULONG blockAlign, packets, latency, mdlBytes, expected;
    };
    const Case cases[] = {
        {1000, 4, 1, 960, 524288, 3840}, // the latency minimum
        {8004, 4, 1, 960, 524288, 8004}, // the request, in whole frames
        // Addressed by packet: every packet holds whole frames.
        {8004, 4, 2, 960, 524288, 8008},
        {1000, 4, 2, 961, 524288, 3848},
        {1000, 6, 2, 1, 524288, 1008},
        // The latency was set for smaller frames: the view stops at the data buffer's end, on
        // a whole frame, or a whole packet.
        {1000, 32, 1, 131072, 524288, 524288},
        {1000, 36, 1, 20000, 524288, 524288 - 524288 % 36},
        {1000, 36, 2, 20000, 524288, 524288 - 524288 % 72},
        // A request of whole frames that fits is never cut below itself...
        {524286, 6, 1, 200000, 524288, 524286},
        // ...and one that no longer fits once made whole packets is refused.
        {524286, 6, 2, 0, 524288, 0},
        {100, 0, 1, 960, 524288, 0},
    };
    for (const Case& c : cases) {
        ULONG size = StreamBufferBytes(c.aligned, c.blockAlign, c.packets, c.latency, c.mdlBytes);
        EXPECT_EQ(size, c.expected)
            << c.aligned << " " << c.blockAlign << " x" << c.packets << " " << c.latency;
        EXPECT_LE(size, c.mdlBytes);
    }
}

// The guards against a zero divisor the stream tests do not reach.
TEST(StreamPositions, ZeroDivisors) {
    EXPECT_EQ(PeriodOfFrame(2000, 1000, 2), 1u);
    EXPECT_EQ(PeriodOfFrame(7, 0, 2), 0u);
    EXPECT_EQ(PeriodOfFrame(7, 3, 0), 0u);
    EXPECT_EQ(PositionAccuracy(999, 4), 0u);
    EXPECT_EQ(PositionAccuracy(5000, 0), 5u);
    EXPECT_EQ(PacketOffset(5, 0, 3840), 0u);
    EXPECT_EQ(PacketStartFrame(3, 0, 1000), 0u);
}

} // namespace
