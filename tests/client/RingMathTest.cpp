// Position arithmetic of the shared ring: boundaries, wrap, tiny buffers.
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
    EXPECT_EQ(PositionRegister(0x100000007ull, 960, 32), (0x100000007ull % 960) * 32);
}

} // namespace
} // namespace conduit::ring
