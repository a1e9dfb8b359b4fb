// WAV files for the conduit tool: reading a file's PCM or float frames with every header field
// checked, and writing frames with the sizes patched in as the file grows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wav {

// How samples are laid out in a frame. Samples are little-endian and left-justified in their
// containers; 8-bit samples are unsigned.
struct Format {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t containerBits = 0;
    std::uint16_t validBits = 0;
    std::uint32_t channelMask = 0; // 0: none given
    bool isFloat = false;

    std::uint32_t BlockAlign() const { return std::uint32_t(channels) * (containerBits / 8); }
    bool operator==(const Format& other) const;
    bool operator!=(const Format& other) const { return !(*this == other); }
};

// "48000 Hz, 16 bits, 2 channels" (with the container and float when they matter).
std::string Describe(const Format& format);

// Empty when the format can be read and written; otherwise the reason it cannot.
std::string CheckFormat(const Format& format);

struct Layout {
    Format format;
    std::uint64_t dataOffset = 0; // where the first frame starts in the file
    std::uint64_t frames = 0;     // whole frames in the data chunk
};

// Parses the chunks of a RIFF/WAVE file from its first bytes. `fileBytes` is the size of the
// whole file, so that a data chunk claiming more than the file holds is refused. False with the
// reason in *error for anything that is not a readable PCM or float WAV file.
bool ParseHeader(const std::uint8_t* bytes, std::size_t size, std::uint64_t fileBytes,
                 Layout* layout, std::string* error);

// The 44-byte header (68 with the extensible form) of a file holding `dataBytes` of frames.
// The extensible form is used when the plain one cannot say the format exactly.
std::vector<std::uint8_t> BuildHeader(const Format& format, std::uint32_t dataBytes);

class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool Open(const std::string& path, std::string* error);
    const Format& format() const { return layout_.format; }
    std::uint64_t frames() const { return layout_.frames; }
    // Reads up to `frames` whole frames into `out`; returns how many it read (0 at the end or
    // after a read error, which error() then describes).
    std::uint32_t Read(std::uint8_t* out, std::uint32_t frames);
    const std::string& error() const { return error_; }

private:
    std::FILE* file_ = nullptr;
    Layout layout_;
    std::uint64_t framesRead_ = 0;
    std::string error_;
};

class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Open(const std::string& path, const Format& format, std::string* error);
    bool IsOpen() const { return file_ != nullptr; }
    const Format& format() const { return format_; }
    // Appends whole frames. Returns the frames written: fewer once the file reaches the format's
    // 4 GiB limit (full() then says so) or on a write error (error()).
    std::uint32_t Write(const std::uint8_t* bytes, std::uint32_t frames);
    std::uint64_t frames() const { return frames_; }
    bool full() const { return full_; }
    const std::string& error() const { return error_; }
    // Patches the sizes into the header so the file is complete as it stands; Close does it too.
    bool Flush();
    bool Close();

private:
    std::FILE* file_ = nullptr;
    Format format_;
    std::uint32_t headerBytes_ = 0;
    std::uint64_t frames_ = 0;
    bool full_ = false;
    std::string error_;
};

} // namespace wav
