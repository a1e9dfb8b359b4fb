// The data-format check, step by step with its statuses and diagnostics, and the builder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FormatTestSupport.h"
#include "support/DataFormat.h"

using namespace formats_test;

namespace {

using Bytes = std::vector<unsigned char>;

const size_t FormatSizeAt = FIELD_OFFSET(KSDATAFORMAT, FormatSize);
const size_t FlagsAt = FIELD_OFFSET(KSDATAFORMAT, Flags);
const size_t MajorFormatAt = FIELD_OFFSET(KSDATAFORMAT, MajorFormat);
const size_t SubFormatAt = FIELD_OFFSET(KSDATAFORMAT, SubFormat);
const size_t SpecifierAt = FIELD_OFFSET(KSDATAFORMAT, Specifier);
const size_t WaveAt = sizeof(KSDATAFORMAT);
const size_t CbSizeAt = WaveAt + FIELD_OFFSET(WAVEFORMATEX, cbSize);

Bytes Header(ULONG formatSize, const GUID& subFormat, const GUID& specifier) {
    Bytes bytes;
    ByteWriter writer(bytes);
    KSDATAFORMAT header = {};
    header.FormatSize = formatSize;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = subFormat;
    header.Specifier = specifier;
    writer.Put(0, header);
    return bytes;
}

// 48 kHz, 16 bits, stereo PCM behind a WAVEFORMATEX specifier: 82 bytes.
Bytes PlainBlock() {
    Bytes bytes = Header(82, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    ByteWriter(bytes).Put(WaveAt, PlainPcm(48000, 16, 2).Format);
    return bytes;
}

// The same as a 22-byte extension: 104 bytes.
Bytes ExtensibleBlock() {
    Bytes bytes = Header(104, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    ByteWriter(bytes).Put(WaveAt, ExtensiblePcm(48000, 16, 16, 2, 0x3));
    return bytes;
}

// The sound-buffer specifier: Flags and Control words, then the wave format at 72.
Bytes DsoundBlock() {
    Bytes bytes = Header(90, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_DSOUND);
    ByteWriter writer(bytes);
    writer.Put(WaveAt, ULONGLONG{0xAAAAAAAAAAAAAAAA});
    writer.Put(72, PlainPcm(44100, 8, 1).Format);
    return bytes;
}

template <typename T>
std::function<Bytes()> With(std::function<Bytes()> make, size_t offset, T value) {
    return [make, offset, value] {
        Bytes bytes = make();
        ByteWriter(bytes).Put(offset, value);
        return bytes;
    };
}

// The block with KSDATAFORMAT_ATTRIBUTES (and any other flags) and a list at the 8-aligned
// offset after FormatSize.
std::function<Bytes()> WithList(std::function<Bytes()> make, ULONG flags, Bytes list) {
    return [make, flags, list] {
        Bytes bytes = make();
        ByteWriter(bytes).Put(FlagsAt, flags);
        bytes.resize((ByteWriter(bytes).Get<ULONG>(FormatSizeAt) + 7) & ~size_t{7});
        bytes.insert(bytes.end(), list.begin(), list.end());
        return bytes;
    };
}

const size_t Exact = ~size_t{0}; // block size: the bytes as built
const size_t Unknown = 0;

struct FormatCase {
    const char* name;
    std::function<Bytes()> make;
    size_t blockSize;
    NTSTATUS status;
    const char* message;
};

std::ostream& operator<<(std::ostream& out, const FormatCase& c) {
    return out << c.name;
}

class ValidateKsDataFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ValidateKsDataFormatTest, StopsAtTheRightCheckWithItsMessage) {
    const FormatCase& c = GetParam();
    const Bytes bytes = c.make();
    const ExactBlock block(bytes, c.blockSize == Exact || c.blockSize == Unknown ? bytes.size()
                                                                                 : c.blockSize);
    const ULONGLONG blockSize = c.blockSize == Unknown ? 0 : block.size();
    WAVEFORMATEXTENSIBLE record = {};
    MessageBuffer message;
    GUID mode;
    EXPECT_EQ(ValidateKsDataFormat(&record, block.format(), blockSize, &mode, message.get()),
              c.status);
    EXPECT_EQ(message.text(), c.message);

    // The diagnostic is optional; the outcome never depends on it.
    WAVEFORMATEXTENSIBLE quietRecord = {};
    GUID quietMode;
    EXPECT_EQ(ValidateKsDataFormat(&quietRecord, block.format(), blockSize, &quietMode, nullptr),
              c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_TRUE(IsValidWaveFormat(&record));
        EXPECT_EQ(std::memcmp(&record, &quietRecord, sizeof(record)), 0);
    }
}

Bytes ValidList() {
    return AttributeList(48, 1, {ModeAttribute(AUDIO_SIGNALPROCESSINGMODE_RAW)});
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ValidateKsDataFormatTest,
    ::testing::Values(
        FormatCase{"BlockShorterThanHeader", PlainBlock, 63, STATUS_INVALID_PARAMETER,
                   "Block size (0x3f) is less than KSDATAFORMAT (0x40)"},
        FormatCase{"FormatSizeShorterThanHeader", With(PlainBlock, FormatSizeAt, ULONG{63}), Exact,
                   STATUS_INVALID_PARAMETER, "FormatSize (0x3f) is less than KSDATAFORMAT (0x40)"},
        FormatCase{"UnknownBlockSizeStillChecksFormatSize",
                   With(PlainBlock, FormatSizeAt, ULONG{63}), Unknown, STATUS_INVALID_PARAMETER,
                   "FormatSize (0x3f) is less than KSDATAFORMAT (0x40)"},
        FormatCase{"BlockShorterThanFormatSize", PlainBlock, 81, STATUS_INVALID_PARAMETER,
                   "Block size (0x51) is less than Kdf.FormatSize (0x52)"},
        FormatCase{"UnknownBlockSizeSkipsBlockChecks", PlainBlock, Unknown, STATUS_SUCCESS, ""},
        FormatCase{"NotAudio", With(PlainBlock, MajorFormatAt, KSDATAFORMAT_TYPE_VIDEO), Exact,
                   STATUS_NO_MATCH, "Unsupported format type KSDATAFORMAT_TYPE_VIDEO"},
        FormatCase{"SpecifierNone", With(PlainBlock, SpecifierAt, KSDATAFORMAT_SPECIFIER_NONE),
                   Exact, STATUS_NO_MATCH,
                   "Unsupported format specifier KSDATAFORMAT_SPECIFIER_NONE"},
        FormatCase{"FormatSizeShortOfWaveFormat", With(PlainBlock, FormatSizeAt, ULONG{81}), 81,
                   STATUS_INVALID_PARAMETER,
                   "FormatSize (0x51) < KSDATAFORMAT_SPECIFIER_WAVEFORMATEX size (0x52)"},
        FormatCase{"FormatSizeShortOfDsoundWaveFormat", With(DsoundBlock, FormatSizeAt, ULONG{89}),
                   89, STATUS_INVALID_PARAMETER,
                   "FormatSize (0x59) < KSDATAFORMAT_SPECIFIER_DSOUND size (0x5a)"},
        FormatCase{"ExtensionBeyondFormatSize", With(PlainBlock, CbSizeAt, USHORT{22}), Exact,
                   STATUS_INVALID_PARAMETER,
                   "FormatSize (0x52) < KSDATAFORMAT_SPECIFIER_WAVEFORMATEX size (0x52) + cbSize "
                   "(0x16) = 0x68"},
        FormatCase{"ShortExtension",
                   With(With(ExtensibleBlock, FormatSizeAt, ULONG{92}), CbSizeAt, USHORT{10}), 92,
                   STATUS_NO_MATCH, "Unknown cbSize 0xa"},
        FormatCase{"SubFormatMismatch",
                   With(ExtensibleBlock, SubFormatAt, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), Exact,
                   STATUS_INVALID_PARAMETER,
                   "WfxExt.SubFormat KSDATAFORMAT_SUBTYPE_PCM doesn't match KDF.SubFormat "
                   "KSDATAFORMAT_SUBTYPE_IEEE_FLOAT"},
        FormatCase{"InvalidPlainRecord",
                   With(PlainBlock, WaveAt + FIELD_OFFSET(WAVEFORMATEX, nChannels), USHORT{0}),
                   Exact, STATUS_INVALID_PARAMETER, ""},
        FormatCase{"LongerExtension",
                   With(With(ExtensibleBlock, FormatSizeAt, ULONG{112}), CbSizeAt, USHORT{30}), 112,
                   STATUS_SUCCESS, ""},
        FormatCase{"DsoundSpecifier", DsoundBlock, Exact, STATUS_SUCCESS, ""},
        FormatCase{"UnknownFlagsWarnOnly", With(PlainBlock, FlagsAt, ULONG{1}), Exact,
                   STATUS_SUCCESS, "Unsupported KSDATAFORMAT flags 0x1"},
        FormatCase{"UnknownFlagsThenListRefused",
                   WithList(PlainBlock, 0x80000003,
                            AttributeList(48, 1, {Attribute{40, KSDATAFORMAT_TYPE_AUDIO, {}}})),
                   Exact, STATUS_NO_MATCH,
                   "Unknown KSATTRIBUTE 1: Size=0x28, Flags=0x0, Id=KSDATAFORMAT_TYPE_AUDIO"},
        FormatCase{"ListAfterUnalignedFormatSize",
                   WithList(With(PlainBlock, FormatSizeAt, ULONG{83}), 2, ValidList()), Exact,
                   STATUS_SUCCESS, ""},
        FormatCase{"ListCutShort", WithList(PlainBlock, 2, ValidList()), 88 + 40,
                   STATUS_INVALID_PARAMETER,
                   "Attribute block size (0x28) < KSMULTIPLE_ITEM.Size (0x30)"},
        // A known block that ends before the list starts has no list at all; an empty remainder
        // must not be taken for "size unknown".
        FormatCase{"BlockEndsAtFormatSize", WithList(PlainBlock, 2, ValidList()), 82,
                   STATUS_INVALID_PARAMETER,
                   "Block size (0x52) leaves no attribute list at offset 0x58"},
        FormatCase{"BlockEndsAtListStart", WithList(PlainBlock, 2, ValidList()), 88,
                   STATUS_INVALID_PARAMETER,
                   "Block size (0x58) leaves no attribute list at offset 0x58"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST(ValidateKsDataFormatRecordTest, PlainBlockGivesAnEighteenByteRecord) {
    const ExactBlock block(PlainBlock());
    WAVEFORMATEXTENSIBLE record = {};
    ASSERT_EQ(ValidateKsDataFormat(&record, block.format(), block.size(), nullptr, nullptr),
              STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE expected = PlainPcm(48000, 16, 2);
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof(WAVEFORMATEX)), 0);
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(&record) + 18;
    for (size_t index = 0; index < 22; ++index) {
        EXPECT_EQ(tail[index], 0) << "record byte " << 18 + index << " written";
    }
}

TEST(ValidateKsDataFormatRecordTest, ExtensibleTagIsCorrectedInTheRecordOnly) {
    const ExactBlock block(With(ExtensibleBlock, WaveAt, USHORT{WAVE_FORMAT_PCM})());
    WAVEFORMATEXTENSIBLE record = {};
    MessageBuffer message;
    ASSERT_EQ(ValidateKsDataFormat(&record, block.format(), block.size(), nullptr, message.get()),
              STATUS_SUCCESS);
    EXPECT_EQ(message.text(), "Extensible format has tag 1 - correcting");
    EXPECT_EQ(record.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(record.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(record.dwChannelMask, 0x3u);
    USHORT blockTag;
    std::memcpy(&blockTag, block.data() + WaveAt, sizeof(blockTag));
    EXPECT_EQ(blockTag, WAVE_FORMAT_PCM);
}

TEST(ValidateKsDataFormatRecordTest, ModeIsClearedFirstAndFilledFromTheList) {
    GUID mode = KSDATAFORMAT_TYPE_AUDIO;
    WAVEFORMATEXTENSIBLE record = {};
    const ExactBlock shortBlock(PlainBlock(), 10);
    EXPECT_EQ(ValidateKsDataFormat(&record, shortBlock.format(), 10, &mode, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SameGuid(mode, GUID{}));

    const ExactBlock block(WithList(PlainBlock, 2, ValidList())());
    EXPECT_EQ(ValidateKsDataFormat(&record, block.format(), block.size(), &mode, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(SameGuid(mode, AUDIO_SIGNALPROCESSINGMODE_RAW));
}

WAVEFORMATEXTENSIBLE FloatPlain() {
    WAVEFORMATEXTENSIBLE record = PlainPcm(48000, 32, 2);
    record.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    return record;
}

// What the builder writes is a block that the check accepts and turns back into the record.
TEST(BuildKsDataFormatTest, BuiltBlocksValidateBackToTheirRecords) {
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE record;
    };
    const Case cases[] = {{"plain PCM", PlainPcm(48000, 16, 2)},
                          {"plain float", FloatPlain()},
                          {"extensible", ExtensiblePcm(96000, 24, 32, 6, 0x60F)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WAVEFORMATEXTENSIBLE& record = c.record;
        Bytes bytes(DataFormatBlockBytes, 0xCD);
        const ULONG formatSize = BuildKsDataFormat(&record, bytes.data());
        const bool plain = record.Format.cbSize == 0;
        EXPECT_EQ(formatSize, plain ? 82u : 104u);

        ByteWriter reader(bytes);
        EXPECT_EQ(reader.Get<ULONG>(FormatSizeAt), formatSize);
        EXPECT_EQ(reader.Get<ULONG>(FlagsAt), 0u);
        EXPECT_EQ(reader.Get<ULONGLONG>(8), 0u); // SampleSize, Reserved
        EXPECT_TRUE(SameGuid(reader.Get<GUID>(MajorFormatAt), KSDATAFORMAT_TYPE_AUDIO));
        GUID subFormat;
        EXPECT_TRUE(SameGuid(reader.Get<GUID>(SubFormatAt), *GetSubFormat(&record, &subFormat)));
        EXPECT_TRUE(SameGuid(reader.Get<GUID>(SpecifierAt), KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
        EXPECT_EQ(std::memcmp(bytes.data() + WaveAt, &record, sizeof(record)), 0);

        const ExactBlock block(bytes, formatSize);
        WAVEFORMATEXTENSIBLE checked = {};
        ASSERT_EQ(ValidateKsDataFormat(&checked, block.format(), block.size(), nullptr, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&checked, &record, plain ? sizeof(WAVEFORMATEX) : sizeof(record)), 0);
    }
}

TEST(BuildKsDataFormatLongExtensionTest, BlockClaimsOnlyTheBytesItCarries) {
    WAVEFORMATEXTENSIBLE record = ExtensiblePcm(48000, 16, 16, 2, 0x3);
    record.Format.cbSize = 30;
    Bytes bytes(DataFormatBlockBytes, 0xCD);
    EXPECT_EQ(BuildKsDataFormat(&record, bytes.data()), DataFormatBlockBytes);
    EXPECT_EQ(ByteWriter(bytes).Get<USHORT>(CbSizeAt), 22);
    const ExactBlock block(bytes);
    WAVEFORMATEXTENSIBLE checked = {};
    EXPECT_EQ(ValidateKsDataFormat(&checked, block.format(), block.size(), nullptr, nullptr),
              STATUS_SUCCESS);
}

} // namespace
