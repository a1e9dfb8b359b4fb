// The demo's signals must make every lost, repeated or shifted frame visible, and the comparison
// must name the first frame that differs.
#include <gtest/gtest.h>

#include <cstring>

#include "Signal.h"

namespace {

using conduit::tool::FirstDifferentFrame;
using conduit::tool::GenerateSignal;

TEST(Signal, NeighbouringFramesDifferAndVariantsDiffer) {
    const conduit::DeviceFormat formats[] = {
        {22050, 8, 1, 1, 0}, {96000, 24, 2, 4, 0}, {44100, 24, 6, 3, 0}};
    for (const conduit::DeviceFormat& format : formats) {
        const std::uint32_t blockAlign = format.channels * format.containerBytes;
        const auto first = GenerateSignal(format, 2000, 0);
        ASSERT_EQ(first.size(), 2000u * blockAlign);
        for (std::size_t frame = 1; frame < 2000; frame++) {
            ASSERT_NE(0, std::memcmp(&first[frame * blockAlign], &first[(frame - 1) * blockAlign],
                                     blockAlign))
                << "frames " << frame - 1 << " and " << frame << " are equal";
        }
        EXPECT_NE(first, GenerateSignal(format, 2000, 1));
        EXPECT_EQ(first, GenerateSignal(format, 2000, 0)) << "the same variant must repeat";
    }
}

TEST(Signal, PaddingBitsOfAContainerStayZero) {
    // 24 valid bits in 4-byte containers: the lowest byte of every sample is padding.
    const auto bytes = GenerateSignal({96000, 24, 2, 4, 0}, 500, 0);
    for (std::size_t sample = 0; sample < bytes.size() / 4; sample++) {
        ASSERT_EQ(bytes[sample * 4], 0) << "sample " << sample;
    }
}

TEST(Signal, FirstDifferentFrameFindsMismatchesAndShortStreams) {
    const auto sent = GenerateSignal({48000, 16, 2, 2, 0}, 100, 0);
    EXPECT_EQ(FirstDifferentFrame(sent, sent, 4), -1);
    auto changed = sent;
    changed[4 * 37 + 3] ^= 1;
    EXPECT_EQ(FirstDifferentFrame(sent, changed, 4), 37);
    const std::vector<std::uint8_t> shorter(sent.begin(), sent.begin() + 4 * 60);
    EXPECT_EQ(FirstDifferentFrame(sent, shorter, 4), 60);
    auto longer = sent;
    longer.push_back(0);
    EXPECT_EQ(FirstDifferentFrame(sent, longer, 4), -1);
}

} // namespace
