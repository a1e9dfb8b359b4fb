// Reading the control block as untrusted input, and the control block address answer.
#include <gtest/gtest.h>

#include <cstring>

#include "BlockReader.h"
#include "Requests.h"
#include "TransportProtocol.h"

namespace conduit {
namespace {

struct BlockReaderTest : ::testing::Test {
    alignas(8) transport::TransportControlBlock block{};

    void SetFormat(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                   std::uint16_t blockAlign, std::uint16_t bits, std::uint16_t validBits) {
        std::uint8_t* f = block.StreamFormat;
        std::memcpy(f + 0, &tag, 2);
        std::memcpy(f + 2, &channels, 2);
        std::memcpy(f + 4, &rate, 4);
        std::memcpy(f + 12, &blockAlign, 2);
        std::memcpy(f + 14, &bits, 2);
        const std::uint16_t extra = 22;
        std::memcpy(f + 16, &extra, 2);
        std::memcpy(f + 18, &validBits, 2);
    }
    void Running(std::uint32_t bufferFrames) {
        block.StreamOpen = 1;
        block.StreamState = 3;
        block.BufferFrames = bufferFrames;
    }
};

// Recorders label and convert samples by this flag: float taken for PCM is noise.
TEST_F(BlockReaderTest, FloatSamplesAreToldFromPcmByTagOrSubFormat) {
    struct Case {
        std::uint16_t tag;
        std::uint32_t subFormatFirstField;
        bool isFloat;
    };
    const Case cases[] = {{0xFFFE, 3, true}, {0xFFFE, 1, false}, {3, 0, true}, {1, 0, false}};
    for (const Case& c : cases) {
        SetFormat(c.tag, 2, 48000, 8, 32, 32);
        std::memcpy(block.StreamFormat + 24, &c.subFormatFirstField, 4);
        const StreamView view = block::Read(&block, transport::DataBufferSize);
        ASSERT_TRUE(view.hasFormat) << c.tag;
        EXPECT_EQ(view.format.isFloat, c.isFloat) << c.tag << " " << c.subFormatFirstField;
    }
}

TEST_F(BlockReaderTest, UnusableFieldsAreReportedAndStopFrameMoves) {
    struct Case {
        const char* what;
        std::uint16_t tag, channels;
        std::uint32_t rate;
        std::uint16_t blockAlign, bits, validBits;
        std::uint32_t state, bufferFrames;
    } cases[] = {
        {"state above run", 0xFFFE, 2, 48000, 4, 16, 16, 4, 960},
        {"block alignment 0", 0xFFFE, 2, 48000, 0, 16, 16, 3, 960},
        {"block alignment not the frame", 0xFFFE, 2, 48000, 8, 16, 16, 3, 960},
        {"nine channels", 0xFFFE, 9, 48000, 18, 16, 16, 3, 960},
        {"12-bit containers", 0xFFFE, 2, 48000, 3, 12, 12, 3, 960},
        {"valid bits above the container", 0xFFFE, 2, 48000, 4, 16, 24, 3, 960},
        {"unknown tag", 0x0055, 2, 48000, 4, 16, 16, 3, 960},
        // 131,073 frames of 4 bytes end one frame past the 524,288-byte buffer.
        {"buffer one frame too long", 0xFFFE, 2, 48000, 4, 16, 16, 3, 131073},
        {"buffer that overflows 32 bits", 0xFFFE, 8, 384000, 32, 32, 32, 3, 0x80000000u},
    };
    for (const Case& c : cases) {
        SetFormat(c.tag, c.channels, c.rate, c.blockAlign, c.bits, c.validBits);
        block.StreamOpen = 1;
        block.StreamState = c.state;
        block.BufferFrames = c.bufferFrames;
        const StreamView view = block::Read(&block, transport::DataBufferSize);
        EXPECT_FALSE(view.CanMoveFrames()) << c.what;
        EXPECT_FALSE(view.problems.empty()) << c.what;
    }
}

TEST_F(BlockReaderTest, TheWindowIsTheSmallerOfBlockAndProtocol) {
    SetFormat(0xFFFE, 2, 48000, 4, 16, 16);
    Running(1024); // 4,096 bytes
    EXPECT_TRUE(block::Read(&block, 4096).CanMoveFrames());
    EXPECT_FALSE(block::Read(&block, 4095).CanMoveFrames());
}

TEST_F(BlockReaderTest, AbsentThingsAreNotProblems) {
    // A fresh block: no stream, no format, device format not yet published.
    StreamView view = block::Read(&block, transport::DataBufferSize);
    EXPECT_TRUE(view.problems.empty());
    EXPECT_FALSE(view.hasFormat);
    // A buffer without a format cannot be used but says nothing wrong by itself.
    Running(960);
    view = block::Read(&block, transport::DataBufferSize);
    EXPECT_FALSE(view.CanMoveFrames());
}

TEST_F(BlockReaderTest, DeviceFormatAndFlagsOutOfRangeAreReported) {
    block.SampleRate = 384001;
    block.BitsPerSample = 32;
    block.Channels = 8;
    block.ContainerBytes = 4;
    StreamView view = block::Read(&block, transport::DataBufferSize);
    EXPECT_EQ(view.problems.size(), 1u);
    EXPECT_EQ(view.deviceFormat.sampleRate, 0u);

    block.SampleRate = 48000;
    block.HandshakeFlags = 0x13;
    view = block::Read(&block, transport::DataBufferSize);
    EXPECT_EQ(view.deviceFormat.sampleRate, 48000u);
    ASSERT_EQ(view.problems.size(), 1u);
    EXPECT_NE(view.problems[0].find("HandshakeFlags"), std::string::npos);
}

TEST(Requests, ControlBlockAddressMustBeExactlyAPointer) {
    const std::uint8_t answer[8] = {0x00, 0x10, 0, 0, 0x01, 0, 0, 0};
    std::uint64_t address = 0;
    EXPECT_TRUE(requests::ParseControlBlockAddress(answer, 8, false, &address));
    EXPECT_EQ(address, 0x100001000ull);
    EXPECT_TRUE(requests::ParseControlBlockAddress(answer, 4, true, &address));
    EXPECT_EQ(address, 0x1000ull);
    EXPECT_FALSE(requests::ParseControlBlockAddress(answer, 4, false, &address));
    EXPECT_FALSE(requests::ParseControlBlockAddress(answer, 8, true, &address));
    const std::uint8_t null[8] = {};
    EXPECT_FALSE(requests::ParseControlBlockAddress(null, 8, false, &address));
}

} // namespace
} // namespace conduit
