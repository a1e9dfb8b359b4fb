// Frame conversion and the commands' sinks and sources: samples keep their value across
// layouts, nothing is read or written past a frame, and what cannot be converted is counted,
// not garbled.
#include <gtest/gtest.h>

#include <cstring>

#include "Frames.h"

namespace frames {
namespace {

wav::Format Make(std::uint16_t channels, std::uint16_t container, std::uint16_t valid,
                 bool isFloat = false, std::uint32_t rate = 48000) {
    wav::Format format;
    format.channels = channels;
    format.sampleRate = rate;
    format.containerBits = container;
    format.validBits = valid;
    format.isFloat = isFloat;
    return format;
}

conduit::StreamFormat Stream(std::uint16_t channels, std::uint16_t container,
                             std::uint32_t rate = 48000, bool isFloat = false) {
    conduit::StreamFormat format;
    format.formatTag = 0xFFFE;
    format.channels = channels;
    format.sampleRate = rate;
    format.containerBits = container;
    format.validBits = container;
    format.blockAlign = static_cast<std::uint16_t>(channels * container / 8);
    format.isFloat = isFloat;
    return format;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int value : values) {
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::vector<std::uint8_t> Float(std::initializer_list<float> values) {
    std::vector<std::uint8_t> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

TEST(Frames, SamplesKeepTheirValueAcrossLayouts) {
    struct Case {
        const char* name;
        wav::Format from;
        std::vector<std::uint8_t> in;
        wav::Format to;
        std::vector<std::uint8_t> out;
    };
    const Case cases[] = {
        {"16 to 8: the high byte, unsigned", Make(1, 16, 16), Bytes({0x34, 0x12, 0xFF, 0xFF}),
         Make(1, 8, 8), Bytes({0x92, 0x7F})},
        {"24 to 16 keeps the sign", Make(1, 24, 24), Bytes({0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF}),
         Make(1, 16, 16), Bytes({0x34, 0x12, 0xFF, 0xFF})},
        {"24 to 20 valid bits in 24: the unused bits are zero", Make(1, 24, 24),
         Bytes({0x56, 0x34, 0x12}), Make(1, 24, 20), Bytes({0x50, 0x34, 0x12})},
        {"float to 16 clips at full scale", Make(3, 32, 32, true), Float({0.5f, 1.5f, -2.0f}),
         Make(3, 16, 16), Bytes({0x00, 0x40, 0xFF, 0x7F, 0x00, 0x80})},
        {"16 to float", Make(2, 16, 16), Bytes({0x00, 0x80, 0x00, 0x40}), Make(2, 32, 32, true),
         Float({-1.0f, 0.5f})},
        {"stereo to mono keeps the first channel", Make(2, 16, 16), Bytes({1, 2, 3, 4}),
         Make(1, 16, 16), Bytes({1, 2})},
        {"mono to stereo: the new channel is silent", Make(1, 8, 8), Bytes({0x10}), Make(2, 8, 8),
         Bytes({0x10, 0x80})},
        {"float in 16 bits cannot be read: silence", Make(1, 16, 16, true), Bytes({1, 2}),
         Make(1, 16, 16), Bytes({0, 0})},
    };
    for (const Case& c : cases) {
        const std::uint32_t count = static_cast<std::uint32_t>(c.in.size() / c.from.BlockAlign());
        // One guard byte past the output: nothing may be written there.
        std::vector<std::uint8_t> out(c.out.size() + 1, 0xEE);
        Convert(c.from, c.in.data(), c.to, out.data(), count);
        EXPECT_EQ(out.back(), 0xEE) << c.name;
        out.pop_back();
        EXPECT_EQ(out, c.out) << c.name;
    }
}

TEST(Frames, RecorderKeepsTheFirstFormatAndCountsWhatItCannotWrite) {
    const std::string path = ::testing::TempDir() + "/conduit-recorder.wav";
    Recorder recorder(path);
    EXPECT_FALSE(recorder.started());
    const std::vector<std::uint8_t> stereo16 = Bytes({0x34, 0x12, 0x78, 0x56});
    recorder.Consume(Stream(2, 16), stereo16.data(), 1);
    // The stream came back in 24 bits: converted into the file's 16.
    const std::vector<std::uint8_t> stereo24 = Bytes({0xFF, 0x34, 0x12, 0xFF, 0x78, 0x56});
    recorder.Consume(Stream(2, 24), stereo24.data(), 1);
    // Another rate cannot go into this file.
    recorder.Consume(Stream(2, 16, 44100), stereo16.data(), 1);
    EXPECT_EQ(recorder.framesWritten(), 2u);
    EXPECT_EQ(recorder.framesSkipped(), 1u);
    EXPECT_TRUE(recorder.error().empty());
    ASSERT_TRUE(recorder.Close());

    wav::Reader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    EXPECT_EQ(reader.format().containerBits, 16u);
    EXPECT_EQ(reader.format().channels, 2u);
    std::vector<std::uint8_t> frames(8);
    ASSERT_EQ(reader.Read(frames.data(), 4), 2u);
    EXPECT_EQ(frames, Bytes({0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0x78, 0x56}));
}

TEST(Frames, RecorderThatCannotCreateItsFileSaysSo) {
    Recorder recorder(::testing::TempDir() + "/no/such/folder/x.wav");
    const std::vector<std::uint8_t> frame = Bytes({1, 2, 3, 4});
    recorder.Consume(Stream(2, 16), frame.data(), 1);
    recorder.Consume(Stream(2, 16), frame.data(), 1);
    EXPECT_TRUE(recorder.started());
    EXPECT_NE(recorder.error().find("cannot create"), std::string::npos) << recorder.error();
    EXPECT_EQ(recorder.framesSkipped(), 2u);
    EXPECT_FALSE(recorder.Close());
}

TEST(Frames, PlayerConvertsThenFillsSilence) {
    const std::string path = ::testing::TempDir() + "/conduit-player.wav";
    {
        wav::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, Make(1, 16, 16), &error)) << error;
        const std::vector<std::uint8_t> frames = Bytes({0x00, 0x12, 0x00, 0x34, 0x00, 0x56});
        ASSERT_EQ(writer.Write(frames.data(), 3), 3u);
        ASSERT_TRUE(writer.Close());
    }
    wav::Reader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    Player player(reader);
    // An 8-bit stereo stream: each sample's high byte, unsigned; the second channel is silent
    // because the file has only one.
    std::vector<std::uint8_t> out(2 * 2, 0xEE);
    player.Produce(Stream(2, 8), out.data(), 2);
    EXPECT_EQ(out, Bytes({0x92, 0x80, 0xB4, 0x80}));
    EXPECT_FALSE(player.finished());
    out.assign(2 * 3, 0xEE);
    player.Produce(Stream(2, 8), out.data(), 3);
    EXPECT_EQ(out, Bytes({0xD6, 0x80, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_TRUE(player.finished());
    EXPECT_EQ(player.framesPlayed(), 3u);
    EXPECT_FALSE(player.rateDiffers());
    player.Produce(Stream(2, 8, 44100), out.data(), 1);
    EXPECT_TRUE(player.rateDiffers());
}

TEST(Frames, LoopCarriesFramesInOrderAndBoundsItsQueue) {
    Loop loop(4);
    const std::vector<std::uint8_t> in = Bytes({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0});
    loop.Consume(Stream(1, 16), in.data(), 6); // two more than fit: the oldest two go
    EXPECT_EQ(loop.framesDropped(), 2u);
    EXPECT_EQ(loop.queued(), 4u);
    std::vector<std::uint8_t> out(2 * 3 * 2, 0xEE);
    loop.Produce(Stream(2, 16), out.data(), 3);
    EXPECT_EQ(out, Bytes({3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0}));
    out.assign(2 * 3 * 2, 0xEE);
    loop.Produce(Stream(2, 16), out.data(), 3); // one frame left, then silence
    EXPECT_EQ(out, Bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(loop.framesCarried(), 4u);
    EXPECT_EQ(loop.framesFilled(), 2u);
}

TEST(Frames, LoopNeverPlaysFramesAtAnotherRate) {
    Loop loop(100);
    const std::vector<std::uint8_t> in = Bytes({9, 0, 9, 0});
    loop.Consume(Stream(1, 16, 44100), in.data(), 2);
    std::vector<std::uint8_t> out(4, 0xEE);
    loop.Produce(Stream(1, 16, 48000), out.data(), 2);
    EXPECT_EQ(out, Bytes({0, 0, 0, 0}));
    EXPECT_EQ(loop.framesCarried(), 0u);
    // The speaker changes rate: what was queued at the old one is dropped.
    loop.Consume(Stream(1, 16, 48000), in.data(), 1);
    EXPECT_EQ(loop.framesDropped(), 2u);
    loop.Produce(Stream(1, 16, 48000), out.data(), 1);
    EXPECT_EQ(out[0], 9);
}

} // namespace
} // namespace frames
