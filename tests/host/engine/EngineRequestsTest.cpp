// The formats the engine reads back from the device. (Its period arithmetic is driven through
// the engine by the glitch test and through every odd-sized buffer of the end-to-end rows.)
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "KsRequests.h"

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

} // namespace
