// The stream's position and size arithmetic, case by case: the published figures, the wraps,
// and the inputs that would divide by zero or overflow.
#include <gtest/gtest.h>

#include "audio/StreamPositions.h"

namespace {

TEST(StreamPositions, FramesAhead) {
    struct Case {
        ULONG position, client, frames, expected;
    };
    const Case cases[] = {
        {100, 40, 960, 60},   // the stream leads the client
        {40, 100, 960, 900},  // the client leads: the distance wraps
        {300, 300, 960, 960}, // equal positions: a whole buffer
        {0, 0, 960, 960},
        {959, 0, 960, 959},
        {0, 959, 960, 1},
        {5, 3, 0, 0},          // no buffer
        {1500, 100, 960, 440}, // a position left over from a larger buffer is reduced
        {0, 0xFFFFFFFF, 960, 960 - 0xFFFFFFFFu % 960},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FramesAhead(c.position, c.client, c.frames), c.expected)
            << c.position << " " << c.client << " " << c.frames;
    }
}

TEST(StreamPositions, CrossesPeriod) {
    struct Case {
        ULONG previous, current, framesPerPeriod, periods;
        bool expected;
    };
    const Case cases[] = {
        {0, 470, 480, 2, false},  // inside the first period
        {470, 485, 480, 2, true}, // into the second
        {485, 950, 480, 2, false},
        {950, 5, 480, 2, true}, // back into the first
        {470, 5, 480, 2, true}, // a whole lap and a bit: still one completion
        {300, 300, 480, 2, false},
        // One period per buffer: only the wrap shows that the period ended.
        {500, 900, 960, 1, false},
        {900, 40, 960, 1, true},
        {0, 959, 960, 1, false},
        // 2,001 frames in two periods of 1,000: the last frame belongs to the second period.
        {1999, 2000, 1000, 2, false},
        {2000, 3, 1000, 2, true},
        {999, 1000, 1000, 2, true},
        // No whole period (no buffer, or fewer frames than periods): never.
        {0, 1, 0, 2, false},
        {1, 0, 0, 2, false},
        {5, 0, 10, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CrossesPeriod(c.previous, c.current, c.framesPerPeriod, c.periods), c.expected)
            << c.previous << " -> " << c.current << " in " << c.periods << " x "
            << c.framesPerPeriod;
    }
}

TEST(StreamPositions, AlignToFramesAndFramesForRequest) {
    struct Case {
        ULONG request, blockAlign;
        ULONGLONG aligned;
        ULONG frames;
    };
    const Case cases[] = {
        {1000, 4, 1000, 250},
        {8002, 4, 8004, 2001},
        {6, 4, 8, 2},
        {4, 4, 4, 1},
        {7, 4, 8, 2},
        {1, 18, 18, 1},
        // Near the 32-bit limit the sum must not wrap round to a small size.
        {0xFFFFFFFF, 4, 0x100000000ull, 0x40000000},
        {0xFFFFFFFE, 18, 0xFFFFFFFEull + 16, static_cast<ULONG>((0xFFFFFFFEull + 16) / 18)},
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
        ULONG blockAlign, latency, mdlBytes, expected;
    };
    const Case cases[] = {
        {1000, 4, 960, 524288, 3840}, // the latency minimum
        {8004, 4, 960, 524288, 8004}, // the request
        {8, 4, 960, 524288, 3840},
        // The latency was set for smaller frames: the view stops at the data buffer's end, on
        // a whole frame.
        {1000, 32, 131072, 524288, 524288},
        {1000, 36, 20000, 524288, 524288 - 524288 % 36},
        {524288, 4, 200000, 524288, 524288},
        // A request of whole frames that fits is never cut below itself.
        {524286, 6, 200000, 524288, 524286},
    };
    for (const Case& c : cases) {
        ULONG size = StreamBufferBytes(c.aligned, c.blockAlign, c.latency, c.mdlBytes);
        EXPECT_EQ(size, c.expected) << c.aligned << " " << c.blockAlign << " " << c.latency;
        EXPECT_LE(size, c.mdlBytes);
    }
}

// The guards against a zero divisor and the reductions the stream test does not reach.
TEST(StreamPositions, ZeroDivisorsAndWraps) {
    EXPECT_EQ(ReduceClientPosition(0xFFFFFFFF, 960), 0xFFFFFFFFu % 960);
    EXPECT_EQ(ReduceClientPosition(1234, 0), 0u);
    EXPECT_EQ(PeriodOfFrame(2000, 1000, 2), 1u);
    EXPECT_EQ(PeriodOfFrame(7, 0, 2), 0u);
    EXPECT_EQ(PeriodOfFrame(7, 3, 0), 0u);
    EXPECT_EQ(PositionAccuracy(999, 4), 0u);
    EXPECT_EQ(PositionAccuracy(5000, 0), 5u);
    EXPECT_EQ(PacketOffset(5, 0, 3840), 0u);
    EXPECT_EQ(PacketStartFrame(3, 0, 1000), 0u);
}

} // namespace
