// The wave format record: its validity rules, the streaming bounds, and the builders.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FormatTestSupport.h"
#include "HostTest.h"
#include "kernel/Debugger.h"

using namespace formats_test;

namespace {

struct RecordCase {
    const char* name;
    std::function<void(WAVEFORMATEXTENSIBLE&)> change;
    bool expected;
};

std::ostream& operator<<(std::ostream& out, const RecordCase& c) {
    return out << c.name;
}

class ValidWaveFormatTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ValidWaveFormatTest, JudgesTheRecord) {
    WAVEFORMATEXTENSIBLE record = ExtensiblePcm(48000, 24, 32, 2, 0x3);
    GetParam().change(record);
    EXPECT_EQ(IsValidWaveFormat(&record) != FALSE, GetParam().expected);
}

void MakePlain(WAVEFORMATEXTENSIBLE& r) {
    r = PlainPcm(48000, 16, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidWaveFormatTest,
    ::testing::Values(
        RecordCase{"ExtensibleIsValid", [](WAVEFORMATEXTENSIBLE&) {}, true},
        RecordCase{"PlainWithTagZeroHasNoIdentity",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       MakePlain(r);
                       r.Format.wFormatTag = 0;
                   },
                   false},
        // Tag 0 with a short extension is in neither layout: its tag-derived sub-format is the
        // nonzero WAVEFORMATEX base, so it names a format.
        RecordCase{"TagZeroInNeitherLayoutHasIdentity",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       MakePlain(r);
                       r.Format.wFormatTag = 0;
                       r.Format.cbSize = 10;
                   },
                   true},
        RecordCase{"ZeroRate", [](WAVEFORMATEXTENSIBLE& r) { r.Format.nSamplesPerSec = 0; }, false},
        RecordCase{"BitsNotWholeBytes",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Format.wBitsPerSample = 20; }, false},
        RecordCase{"BlockAlignWrongWhileByteRateMatchesIt",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       r.Format.nBlockAlign = 6;
                       r.Format.nAvgBytesPerSec = 6 * 48000;
                   },
                   false},
        RecordCase{"BlockAlignWrongButByteRateUnrelated",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Format.nBlockAlign = 6; }, true},
        // 0x8000 * 0x20000 wraps to 0 in 32 bits; the block rule must not apply by accident.
        RecordCase{"ByteRateMatchOnlyAfterWrap",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       r.Format.nSamplesPerSec = 0x20000;
                       r.Format.nBlockAlign = 0x8000;
                       r.Format.nAvgBytesPerSec = 0;
                   },
                   true},
        RecordCase{"ExtensibleNeedsExtensibleTag",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; },
                   false},
        RecordCase{"ForeignSubFormat",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       const GUID analog = KSDATAFORMAT_SUBTYPE_ANALOG;
                       std::memcpy(&r.SubFormat, &analog, sizeof(GUID));
                   },
                   false},
        RecordCase{"AnyTagDerivedSubFormat",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       const GUID alaw = KSDATAFORMAT_SUBTYPE_ALAW;
                       std::memcpy(&r.SubFormat, &alaw, sizeof(GUID));
                   },
                   true},
        RecordCase{"ZeroValidBits",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Samples.wValidBitsPerSample = 0; }, false},
        RecordCase{"ValidBitsEqualContainer",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Samples.wValidBitsPerSample = 32; }, true},
        RecordCase{"ValidBitsAboveContainer",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Samples.wValidBitsPerSample = 33; }, false}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

class SupportedStreamFormatTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(SupportedStreamFormatTest, JudgesTheRecord) {
    WAVEFORMATEXTENSIBLE record = PlainPcm(48000, 16, 2);
    GetParam().change(record);
    EXPECT_EQ(IsSupportedStreamFormat(&record) != FALSE, GetParam().expected);
}

std::function<void(WAVEFORMATEXTENSIBLE&)> Rate(ULONG rate) {
    return [rate](WAVEFORMATEXTENSIBLE& r) { r = PlainPcm(rate, 16, 2); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupportedStreamFormatTest,
    ::testing::Values(
        RecordCase{"Rate999", Rate(999), false}, RecordCase{"Rate1000", Rate(1000), true},
        RecordCase{"Rate384000", Rate(384000), true}, RecordCase{"Rate384001", Rate(384001), false},
        RecordCase{"Channels33", [](WAVEFORMATEXTENSIBLE& r) { r = PlainPcm(48000, 8, 33); },
                   false},
        RecordCase{"ByteRateNotBlockTimesRate",
                   [](WAVEFORMATEXTENSIBLE& r) { r.Format.nAvgBytesPerSec += 1; }, false},
        RecordCase{"ALawIsNotStreamed", [](WAVEFORMATEXTENSIBLE& r) { r.Format.wFormatTag = 6; },
                   false},
        RecordCase{"FloatIsStreamed",
                   [](WAVEFORMATEXTENSIBLE& r) {
                       r = PlainPcm(48000, 32, 2);
                       r.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
                   },
                   true},
        RecordCase{"ExtensibleValidBits8",
                   [](WAVEFORMATEXTENSIBLE& r) { r = ExtensiblePcm(48000, 8, 16, 2, 3); }, true},
        RecordCase{"ExtensibleValidBits7",
                   [](WAVEFORMATEXTENSIBLE& r) { r = ExtensiblePcm(48000, 7, 16, 2, 3); }, false}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// ---- Builders ----

struct BuildCase {
    const char* name;
    ULONG rate, bits, channels, container, mask;
    BOOLEAN forceExtensible, isFloat;
    bool built;
    USHORT tag, wBitsPerSample, validBits, blockAlign;
    ULONG channelMask;
};

std::ostream& operator<<(std::ostream& out, const BuildCase& c) {
    return out << c.name;
}

class BuildWaveFormatTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildWaveFormatTest, BuildsTheExpectedRecordOrNothing) {
    const BuildCase& c = GetParam();
    WAVEFORMATEXTENSIBLE record;
    std::memset(&record, 0xCD, sizeof(record));
    const BOOLEAN built = BuildWaveFormat(&record, c.rate, c.bits, c.channels, c.container, c.mask,
                                          c.forceExtensible, c.isFloat);
    ASSERT_EQ(built != FALSE, c.built);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    if (!c.built) {
        for (size_t index = 0; index < sizeof(record); ++index) {
            ASSERT_EQ(bytes[index], 0xCD) << "byte " << index << " written on failure";
        }
        return;
    }
    EXPECT_EQ(record.Format.wFormatTag, c.tag);
    EXPECT_EQ(record.Format.nChannels, c.channels);
    EXPECT_EQ(record.Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(record.Format.wBitsPerSample, c.wBitsPerSample);
    EXPECT_EQ(record.Format.nBlockAlign, c.blockAlign);
    EXPECT_EQ(record.Format.nAvgBytesPerSec, c.blockAlign * c.rate);
    EXPECT_TRUE(IsValidWaveFormat(&record));
    if (c.tag != WAVE_FORMAT_EXTENSIBLE) {
        EXPECT_EQ(record.Format.cbSize, 0);
        for (size_t index = sizeof(WAVEFORMATEX); index < sizeof(record); ++index) {
            ASSERT_EQ(bytes[index], 0xCD) << "plain record wrote byte " << index;
        }
        return;
    }
    EXPECT_EQ(record.Format.cbSize, 22);
    EXPECT_EQ(record.Samples.wValidBitsPerSample, c.validBits);
    EXPECT_EQ(record.dwChannelMask, c.channelMask);
    EXPECT_TRUE(SameGuid(SubFormatOf(record),
                         c.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM));
}

const ULONG Any = AnyChannelMask;
const USHORT Ext = WAVE_FORMAT_EXTENSIBLE;

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildWaveFormatTest,
    ::testing::Values(
        BuildCase{"StereoSixteenIsPlain", 48000, 16, 2, 0, Any, FALSE, FALSE, true, 1, 16, 0, 4, 0},
        BuildCase{"MonoEightIsPlain", 8000, 8, 1, 1, 0x4, FALSE, FALSE, true, 1, 8, 0, 1, 0},
        BuildCase{"FloatStereoIsPlain", 48000, 32, 2, 0, Any, FALSE, TRUE, true, 3, 32, 0, 8, 0},
        BuildCase{"SixChannelsDefaultMask", 48000, 16, 6, 0, Any, FALSE, FALSE, true, Ext, 16, 16,
                  12, 0x60F},
        BuildCase{"ThreeChannelsNoDefaultMask", 48000, 16, 3, 0, Any, FALSE, FALSE, true, Ext, 16,
                  16, 6, 0},
        BuildCase{"TwentyFourInFourByteContainers", 48000, 24, 2, 4, Any, FALSE, FALSE, true, Ext,
                  32, 24, 8, 0x3},
        BuildCase{"TwentyFourPacked", 44100, 24, 2, 0, Any, FALSE, FALSE, true, Ext, 24, 24, 6,
                  0x3},
        BuildCase{"ThirtyTwoIntegerIsExtensible", 48000, 32, 2, 0, Any, FALSE, FALSE, true, Ext, 32,
                  32, 8, 0x3},
        BuildCase{"ForcedExtensible", 48000, 16, 2, 0, Any, TRUE, FALSE, true, Ext, 16, 16, 4, 0x3},
        BuildCase{"OtherMaskIsKept", 48000, 16, 2, 0, 0x5, FALSE, FALSE, true, Ext, 16, 16, 4, 0x5},
        BuildCase{"ContainerTooSmall", 48000, 24, 2, 2, Any, FALSE, FALSE, false},
        BuildCase{"ZeroRate", 0, 16, 2, 0, Any, FALSE, FALSE, false},
        BuildCase{"ZeroChannels", 48000, 16, 0, 0, Any, FALSE, FALSE, false},
        // Numbers that the record's 16-bit fields cannot hold are refused, not cut short.
        BuildCase{"ChannelsBeyondField", 48000, 16, 0x10002, 0, Any, FALSE, FALSE, false},
        BuildCase{"BitsNearWrap", 48000, 0xFFFFFFF9, 2, 0, Any, FALSE, FALSE, false},
        BuildCase{"BlockAlignBeyondField", 48000, 32, 0x4000, 4, Any, FALSE, FALSE, false},
        BuildCase{"ByteRateBeyondField", 384000, 32, 0x2000, 4, Any, FALSE, FALSE, false}),
    [](const ::testing::TestParamInfo<BuildCase>& info) { return info.param.name; });

TEST(BuildPlainWaveFormatTest, PlainShapesStayPlainAndOthersGoExtensible) {
    WAVEFORMATEXTENSIBLE record = {};
    ASSERT_TRUE(BuildPlainWaveFormat(&record, 44100, 8, 1, FALSE));
    EXPECT_EQ(record.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(record.Format.nAvgBytesPerSec, 44100u);
    EXPECT_EQ(SilenceByte(&record), 128);

    record = {};
    ASSERT_TRUE(BuildPlainWaveFormat(&record, 48000, 24, 2, FALSE));
    EXPECT_EQ(record.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(record.Format.wBitsPerSample, 24);
    EXPECT_EQ(record.Format.nBlockAlign, 6);
    EXPECT_EQ(SilenceByte(&record), 0);

    // A float format narrower than 32 bits has no plain form.
    record = {};
    ASSERT_TRUE(BuildPlainWaveFormat(&record, 48000, 16, 2, TRUE));
    EXPECT_EQ(record.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_TRUE(SameGuid(SubFormatOf(record), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));

    EXPECT_FALSE(BuildPlainWaveFormat(&record, 48000, 16, 0, FALSE));
}

class MakeExtensibleDebuggerTest : public HostTest {};

// Only a float record breaks in, and only into an attached debugger (the host bug-checks a
// breakpoint that no debugger catches).
TEST_F(MakeExtensibleDebuggerTest, FloatRecordsBreakIntoAnAttachedDebugger) {
    WAVEFORMATEXTENSIBLE record = PlainPcm(48000, 32, 2);
    record.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    MakeExtensible(&record);

    host::AttachKernelDebugger();
    WAVEFORMATEXTENSIBLE pcm = PlainPcm(48000, 16, 2);
    MakeExtensible(&pcm);
    EXPECT_EQ(host::KernelDebuggerBreaks(), 0u);
    record = PlainPcm(48000, 32, 2);
    record.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    MakeExtensible(&record);
    EXPECT_EQ(host::KernelDebuggerBreaks(), 1u);
    EXPECT_TRUE(SameGuid(SubFormatOf(record), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    host::DetachKernelDebugger();
}

} // namespace
