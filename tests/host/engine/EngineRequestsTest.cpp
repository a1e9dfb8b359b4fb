// The engine's plain pieces: the formats it reads back from the device, and the period
// arithmetic that decides what is served and what was lost.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "KsRequests.h"
#include "PeriodMath.h"

namespace {

using namespace host::engine;

WAVEFORMATEXTENSIBLE Stereo16() {
    WAVEFORMATEXTENSIBLE format{};
    format.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
    format.Samples.wValidBitsPerSample = 16;
    format.dwChannelMask = 3;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

// A data-format block as a device answers: the header, then `waveBytes` of the record.
std::vector<std::uint8_t> Block(const WAVEFORMATEXTENSIBLE& wave, ULONG waveBytes,
                                const GUID& major = KSDATAFORMAT_TYPE_AUDIO) {
    KSDATAFORMAT header{};
    header.FormatSize = sizeof(header) + waveBytes;
    header.MajorFormat = major;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::vector<std::uint8_t> block(sizeof(header) + sizeof(wave), 0);
    std::memcpy(block.data(), &header, sizeof(header));
    std::memcpy(block.data() + sizeof(header), &wave, waveBytes);
    return block;
}

TEST(ReadWaveFormatTest, EveryUsableLayoutBecomesExtensible) {
    WAVEFORMATEXTENSIBLE pcm{};
    pcm.Format = {WAVE_FORMAT_PCM, 2, 44100, 264600, 6, 24, 0};
    WAVEFORMATEXTENSIBLE mono8{};
    mono8.Format = {WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    WAVEFORMATEXTENSIBLE floats{};
    floats.Format = {WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 1152000, 24, 32, 0};
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE wave;
        ULONG waveBytes;
        WORD validBits;
        DWORD mask;
        GUID subFormat;
    };
    const Case cases[] = {
        {"PCM without cbSize (16 bytes)", pcm, 16, 24, 0x3, KSDATAFORMAT_SUBTYPE_PCM},
        {"PCM with cbSize", pcm, 18, 24, 0x3, KSDATAFORMAT_SUBTYPE_PCM},
        {"8-bit mono", mono8, 18, 8, 0x1, KSDATAFORMAT_SUBTYPE_PCM},
        {"float, six channels", floats, 18, 32, 0x3F, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
        {"already extensible", Stereo16(), 40, 16, 0x3, KSDATAFORMAT_SUBTYPE_PCM},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        const std::vector<std::uint8_t> block = Block(item.wave, item.waveBytes);
        WAVEFORMATEXTENSIBLE format{};
        ASSERT_EQ(ReadWaveFormat(block.data(), ULONG(block.size()), &format), STATUS_SUCCESS);
        EXPECT_EQ(format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(format.Format.cbSize, 22);
        EXPECT_EQ(format.Format.nChannels, item.wave.Format.nChannels);
        EXPECT_EQ(format.Format.nSamplesPerSec, item.wave.Format.nSamplesPerSec);
        EXPECT_EQ(format.Format.nBlockAlign, item.wave.Format.nBlockAlign);
        EXPECT_EQ(format.Samples.wValidBitsPerSample, item.validBits);
        EXPECT_EQ(format.dwChannelMask, item.mask);
        EXPECT_TRUE(IsEqualGUID(format.SubFormat, item.subFormat));
    }
}

TEST(ReadWaveFormatTest, RefusesWhatIsNotUsableAudio) {
    WAVEFORMATEXTENSIBLE noChannels = Stereo16();
    noChannels.Format.nChannels = 0;
    WAVEFORMATEXTENSIBLE noBlock = Stereo16();
    noBlock.Format.nBlockAlign = 0;
    WAVEFORMATEXTENSIBLE shortExtension = Stereo16();
    shortExtension.Format.cbSize = 10;
    WAVEFORMATEXTENSIBLE compressed = Stereo16();
    compressed.Format.wFormatTag = 0x55;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> block;
        ULONG bytes; // 0: the whole block
    };
    const Case cases[] = {
        {"no channels", Block(noChannels, 40), 0},
        {"no block alignment", Block(noBlock, 40), 0},
        {"extension shorter than its tag needs", Block(shortExtension, 40), 0},
        {"extensible record cut short", Block(Stereo16(), 30), 0},
        {"another encoding", Block(compressed, 18), 0},
        {"not audio", Block(Stereo16(), 40, KSDATAFORMAT_TYPE_WILDCARD), 0},
        {"format larger than the reply", Block(Stereo16(), 40), 80},
        {"header only", Block(Stereo16(), 40), 64},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        WAVEFORMATEXTENSIBLE format{};
        format.Format.nChannels = 77;
        const ULONG bytes = item.bytes != 0 ? item.bytes : ULONG(item.block.size());
        EXPECT_EQ(ReadWaveFormat(item.block.data(), bytes, &format), STATUS_NO_MATCH);
        EXPECT_EQ(format.Format.nChannels, 77) << "written on failure";
    }
}

TEST(PeriodMathTest, PeriodsFollowTheBufferRound) {
    struct Case {
        std::uint32_t frame, framesPerPeriod, count, period;
    };
    // 2,001 frames in two periods of 1,000: the odd last frame belongs to the last period.
    const Case periods[] = {{0, 1000, 2, 0},    {999, 1000, 2, 0}, {1000, 1000, 2, 1},
                            {2000, 1000, 2, 1}, {959, 960, 1, 0},  {480, 480, 2, 1}};
    for (const Case& item : periods) {
        EXPECT_EQ(PeriodOf(item.frame, item.framesPerPeriod, item.count), item.period)
            << "frame " << item.frame;
    }
    EXPECT_EQ(PeriodFrames(0, 1000, 2, 2001), 1000u);
    EXPECT_EQ(PeriodFrames(1, 1000, 2, 2001), 1001u);
    EXPECT_EQ(PeriodFrames(0, 960, 1, 960), 960u);

    EXPECT_EQ(PeriodsBetween(0, 1, 2), 1u);
    EXPECT_EQ(PeriodsBetween(1, 0, 2), 1u); // across the end of the buffer
    EXPECT_EQ(PeriodsBetween(1, 1, 2), 0u);
    EXPECT_EQ(PeriodsBetween(0, 0, 1), 0u);
}

TEST(PeriodMathTest, OnlyPeriodsBeyondWhatTheBufferHoldsAreLost) {
    struct Case {
        std::uint64_t completed;
        std::uint32_t count;
        std::uint64_t lost;
    };
    const Case cases[] = {{0, 2, 0}, {1, 2, 0}, {2, 2, 1}, {3, 2, 2}, {7, 2, 6}, {5, 4, 2}};
    for (const Case& item : cases) {
        EXPECT_EQ(LostPeriods(item.completed, item.count), item.lost)
            << item.completed << " completed, " << item.count << " per buffer";
    }
}

} // namespace
