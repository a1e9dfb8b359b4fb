// Position arithmetic of the shared ring: boundaries, wrap, counter overflow, tiny buffers.
#include <gtest/gtest.h>

#include "RingMath.h"

namespace conduit::ring {
namespace {

TEST(RingMath, FramesToBoundaryStopsAtEachPeriodAndAtTheEnd) {
    struct Case {
        std::uint32_t offset, bufferFrames, expected;
    } cases[] = {
        {0, 960, 480},
        {480, 960, 480},
        {959, 960, 1},
        // Odd buffers: the driver's quotient has a third, one-frame period at the end.
        {0, 5, 2},
        {4, 5, 1},
        // One and two frames: every frame is its own step.
        {0, 1, 1},
        {1, 2, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FramesToBoundary(c.offset, c.bufferFrames), c.expected)
            << c.offset << " in " << c.bufferFrames;
        // A move of that length never changes the period index twice.
        const std::uint32_t end = (c.offset + c.expected) % c.bufferFrames;
        const std::uint32_t changes =
            PeriodIndex(end, c.bufferFrames) != PeriodIndex(c.offset, c.bufferFrames);
        EXPECT_LE(changes, 1u);
    }
}

TEST(RingMath, AdvanceKeepsTheRingOffsetAcrossCounterOverflow) {
    struct Case {
        std::uint32_t position, frames, bufferFrames;
    } cases[] = {
        {0xFFFFFFFFu, 1, 960},
        {0xFFFFFF00u, 0x200, 960},
        {0xFFFFFFF0u, 0x10, 7},
        {0xFFFFFFFFu, 0, 44100},
    };
    for (const Case& c : cases) {
        const std::uint32_t next = Advance(c.position, c.frames, c.bufferFrames);
        const std::uint64_t truth = (std::uint64_t(c.position) + c.frames) % c.bufferFrames;
        EXPECT_EQ(next % c.bufferFrames, truth) << c.position << " + " << c.frames;
    }
    // Without overflow it is a plain running counter.
    EXPECT_EQ(Advance(1000, 5, 960), 1005u);
}

TEST(RingMath, SeenOffsetOnlyFromValuesInRange) {
    std::uint32_t offset = 0;
    EXPECT_TRUE(SeenOffset(100, 960, 960, &offset)); // a whole buffer: both coincide
    EXPECT_EQ(offset, 100u);
    EXPECT_TRUE(SeenOffset(5, 10, 960, &offset)); // ahead across the wrap
    EXPECT_EQ(offset, 955u);
    EXPECT_FALSE(SeenOffset(0, 0, 960, &offset));   // no tick yet
    EXPECT_FALSE(SeenOffset(960, 1, 960, &offset)); // position outside the buffer
    EXPECT_FALSE(SeenOffset(0, 961, 960, &offset)); // more ahead than the buffer holds
}

TEST(RingMath, PositionRegisterIsTheByteOffsetInTheBuffer) {
    EXPECT_EQ(PositionRegister(0, 960, 4), 0u);
    EXPECT_EQ(PositionRegister(961, 960, 4), 4u);
    EXPECT_EQ(PositionRegister(0xFFFFFFFFu, 16384, 32), (0xFFFFFFFFu % 16384) * 32);
}

} // namespace
} // namespace conduit::ring
