// WAV files: what is written reads back the same in every layout, and headers that lie or fall
// short are refused with a reason rather than read past.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Wav.h"

namespace wav {
namespace {

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "/conduit-wav-" + name + ".wav";
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Format Make(std::uint16_t channels, std::uint32_t rate, std::uint16_t container,
            std::uint16_t valid, bool isFloat = false, std::uint32_t mask = 0) {
    Format format;
    format.channels = channels;
    format.sampleRate = rate;
    format.containerBits = container;
    format.validBits = valid;
    format.isFloat = isFloat;
    format.channelMask = mask;
    return format;
}

TEST(Wav, WrittenFilesReadBackFrameForFrame) {
    const Format formats[] = {
        Make(1, 8000, 8, 8),
        Make(2, 48000, 24, 24),
        Make(2, 96000, 32, 32, true),
        Make(6, 48000, 24, 20, false, 0x3F),
    };
    for (const Format& format : formats) {
        SCOPED_TRACE(Describe(format));
        const std::string path = TempPath("roundtrip");
        // 7 frames: with one-byte mono frames the data chunk has odd length and needs padding.
        const std::uint32_t frames = 7;
        std::vector<std::uint8_t> written(frames * format.BlockAlign());
        for (std::size_t i = 0; i < written.size(); ++i) {
            written[i] = static_cast<std::uint8_t>(i * 37 + 11);
        }
        Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, format, &error)) << error;
        // Two writes with a flush between, as a recording does each second.
        EXPECT_EQ(writer.Write(written.data(), 3), 3u);
        ASSERT_TRUE(writer.Flush());
        EXPECT_EQ(writer.Write(written.data() + 3 * format.BlockAlign(), 4), 4u);
        ASSERT_TRUE(writer.Close());

        const std::vector<std::uint8_t> file = ReadAll(path);
        EXPECT_EQ(file.size() % 2, 0u) << "RIFF chunks are padded to even length";
        Reader reader;
        ASSERT_TRUE(reader.Open(path, &error)) << error;
        EXPECT_TRUE(reader.format() == format) << Describe(reader.format());
        EXPECT_EQ(reader.frames(), frames);
        std::vector<std::uint8_t> read(written.size() + 64);
        EXPECT_EQ(reader.Read(read.data(), 5), 5u);
        EXPECT_EQ(reader.Read(read.data() + 5 * format.BlockAlign(), 100), 2u);
        EXPECT_EQ(reader.Read(read.data(), 1), 0u);
        read.resize(written.size());
        EXPECT_EQ(read, written);
        EXPECT_TRUE(reader.error().empty());
    }
}

// A plain 16-bit stereo file with one LIST chunk of odd length before fmt, as editors write.
std::vector<std::uint8_t> SampleFile() {
    std::vector<std::uint8_t> bytes = BuildHeader(Make(2, 48000, 16, 16), 8);
    const std::uint8_t list[] = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    bytes.insert(bytes.begin() + 12, std::begin(list), std::end(list));
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i));
    }
    return bytes;
}

// Offsets into SampleFile().
constexpr std::size_t Fmt = 24;  // "fmt " chunk header
constexpr std::size_t Body = 32; // fmt body
constexpr std::size_t Data = 48; // "data" chunk header

void Put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    Put16(bytes, at, static_cast<std::uint16_t>(value));
    Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

TEST(Wav, BadHeadersAreRefusedWithTheirReason) {
    struct Case {
        const char* name;
        void (*damage)(std::vector<std::uint8_t>&);
        const char* reason; // a part of the error text
    };
    const Case cases[] = {
        {"shorter than a RIFF header", [](auto& b) { b.resize(10); }, "truncated"},
        {"cut before the data chunk", [](auto& b) { b.resize(Data); }, "truncated: no data chunk"},
        {"no fmt chunk", [](auto& b) { std::memcpy(&b[Fmt], "junk", 4); }, "fmt chunk"},
        {"not RIFF", [](auto& b) { std::memcpy(&b[0], "RIFX", 4); }, "not a WAV file"},
        {"ADPCM", [](auto& b) { Put16(b, Body, 2); }, "not PCM: format tag 2"},
        {"zero channels", [](auto& b) { Put16(b, Body + 2, 0); }, "zero channels"},
        {"block align", [](auto& b) { Put16(b, Body + 12, 3); }, "block alignment 3"},
        {"12-bit containers", [](auto& b) { Put16(b, Body + 14, 12); }, "12-bit samples"},
        {"float of 16 bits", [](auto& b) { Put16(b, Body, 3); }, "only 32-bit float"},
        {"fmt chunk of 14 bytes", [](auto& b) { Put32(b, Fmt + 4, 14); }, "fmt chunk is truncated"},
        {"data beyond the file", [](auto& b) { Put32(b, Data + 4, 9); }, "beyond the end"},
        {"fmt beyond the file", [](auto& b) { Put32(b, Fmt + 4, 0x7FFFFFF0); }, "truncated"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = SampleFile();
        c.damage(bytes);
        Layout layout;
        std::string error;
        EXPECT_FALSE(ParseHeader(bytes.data(), bytes.size(), bytes.size(), &layout, &error))
            << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;

        // The reader says which file, and the same reason.
        const std::string path = TempPath("bad");
        WriteAll(path, bytes);
        Reader reader;
        std::string readerError;
        EXPECT_FALSE(reader.Open(path, &readerError)) << c.name;
        EXPECT_EQ(readerError, path + ": " + error) << c.name;
    }
}

TEST(Wav, ExtensibleSubFormatsOtherThanPcmAndFloatAreRefused) {
    std::vector<std::uint8_t> bytes = BuildHeader(Make(2, 48000, 24, 20), 0);
    ASSERT_EQ(bytes.size(), 68u);
    Layout layout;
    std::string error;
    ASSERT_TRUE(ParseHeader(bytes.data(), bytes.size(), bytes.size(), &layout, &error)) << error;
    EXPECT_EQ(layout.format.validBits, 20u);
    constexpr std::size_t SubFormat = 44; // after the 20-byte RIFF and fmt headers and 24 bytes
    bytes[SubFormat] = 2;                 // the first field: not PCM (1) or float (3)
    EXPECT_FALSE(ParseHeader(bytes.data(), bytes.size(), bytes.size(), &layout, &error));
    EXPECT_NE(error.find("not PCM"), std::string::npos) << error;
    bytes[SubFormat] = 1;
    bytes[SubFormat + 15] ^= 1; // PCM's number with another GUID
    EXPECT_FALSE(ParseHeader(bytes.data(), bytes.size(), bytes.size(), &layout, &error));
}

TEST(Wav, UnwritableFormatsAndPathsAreRefused) {
    Writer writer;
    std::string error;
    EXPECT_FALSE(writer.Open(TempPath("zero"), Make(0, 48000, 16, 16), &error));
    EXPECT_NE(error.find("zero channels"), std::string::npos) << error;
    EXPECT_FALSE(writer.Open(::testing::TempDir() + "/no/such/folder/x.wav", Make(2, 48000, 16, 16),
                             &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_FALSE(writer.IsOpen());
}

} // namespace
} // namespace wav
