// WAV reading and writing. Every size and count in a file is untrusted: checked against the
// file's length and the format's own arithmetic before anything is read past the header.
#include "Wav.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace wav {

namespace {

constexpr std::uint16_t PcmTag = 1;
constexpr std::uint16_t FloatTag = 3;
constexpr std::uint16_t ExtensibleTag = 0xFFFE;
// The sub-format GUIDs of PCM and float differ only in their first field; the rest is this.
constexpr std::uint8_t SubFormatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                            0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t Get16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t Get32(const std::uint8_t* bytes) {
    return std::uint32_t(Get16(bytes)) | (std::uint32_t(Get16(bytes + 2)) << 16);
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PutTag(std::vector<std::uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(tag[i]));
    }
}

bool IsTag(const std::uint8_t* bytes, const char* tag) {
    return std::memcmp(bytes, tag, 4) == 0;
}

// Parses the fmt chunk's body into *format.
bool ParseFormat(const std::uint8_t* body, std::uint32_t bytes, Format* format,
                 std::string* error) {
    if (bytes < 16) {
        *error = "the fmt chunk is truncated (" + std::to_string(bytes) + " bytes, at least 16)";
        return false;
    }
    const std::uint16_t tag = Get16(body);
    Format parsed;
    parsed.channels = Get16(body + 2);
    parsed.sampleRate = Get32(body + 4);
    const std::uint16_t blockAlign = Get16(body + 12);
    parsed.containerBits = Get16(body + 14);
    parsed.validBits = parsed.containerBits;
    if (tag == ExtensibleTag) {
        if (bytes < 40 || Get16(body + 16) < 22) {
            *error = "the extensible fmt chunk is truncated (" + std::to_string(bytes) +
                     " bytes, 40 needed)";
            return false;
        }
        parsed.validBits = Get16(body + 18);
        parsed.channelMask = Get32(body + 20);
        const std::uint32_t subFormat = Get32(body + 24);
        if ((subFormat != PcmTag && subFormat != FloatTag) ||
            std::memcmp(body + 28, SubFormatTail, sizeof SubFormatTail) != 0) {
            *error = "not PCM: the extensible sub-format is neither PCM nor IEEE float";
            return false;
        }
        parsed.isFloat = subFormat == FloatTag;
    } else if (tag == PcmTag || tag == FloatTag) {
        parsed.isFloat = tag == FloatTag;
    } else {
        *error = "not PCM: format tag " + std::to_string(tag) +
                 " (only PCM, IEEE float and their extensible form are read)";
        return false;
    }
    std::string problem = CheckFormat(parsed);
    if (problem.empty() && blockAlign != parsed.BlockAlign()) {
        problem = "block alignment " + std::to_string(blockAlign) + " where " +
                  std::to_string(parsed.channels) + " channels of " +
                  std::to_string(parsed.containerBits) + " bits need " +
                  std::to_string(parsed.BlockAlign());
    }
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    *format = parsed;
    return true;
}

int Seek(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
}

bool FileSize(std::FILE* file, std::uint64_t* size) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long long end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(file);
#endif
    if (end < 0 || Seek(file, 0) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(end);
    return true;
}

// Paths are UTF-8; Windows opens them by their UTF-16 name so that any name works.
std::FILE* OpenPath(const std::string& path, const char* mode) {
#ifdef _WIN32
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return nullptr;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], length);
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(wide.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

} // namespace

bool Format::operator==(const Format& other) const {
    return channels == other.channels && sampleRate == other.sampleRate &&
           containerBits == other.containerBits && validBits == other.validBits &&
           channelMask == other.channelMask && isFloat == other.isFloat;
}

std::string Describe(const Format& format) {
    std::string text = std::to_string(format.sampleRate) + " Hz, " +
                       std::to_string(format.validBits) + (format.isFloat ? "-bit float" : " bits");
    if (format.containerBits != format.validBits) {
        text += " in " + std::to_string(format.containerBits);
    }
    text +=
        ", " + std::to_string(format.channels) + (format.channels == 1 ? " channel" : " channels");
    return text;
}

std::string CheckFormat(const Format& format) {
    if (format.channels == 0) {
        return "zero channels";
    }
    if (format.sampleRate == 0) {
        return "a sample rate of 0 Hz";
    }
    if (format.containerBits == 0 || format.containerBits % 8 != 0 || format.containerBits > 32) {
        return std::to_string(format.containerBits) +
               "-bit samples (8, 16, 24 or 32-bit containers are read)";
    }
    if (format.validBits == 0 || format.validBits > format.containerBits) {
        return std::to_string(format.validBits) + " valid bits in " +
               std::to_string(format.containerBits) + "-bit containers";
    }
    if (format.isFloat && (format.containerBits != 32 || format.validBits != 32)) {
        return "float samples of " + std::to_string(format.containerBits) +
               " bits (only 32-bit float is read)";
    }
    return std::string();
}

bool ParseHeader(const std::uint8_t* bytes, std::size_t size, std::uint64_t fileBytes,
                 Layout* layout, std::string* error) {
    if (size < 12 || fileBytes < 12) {
        *error = "truncated: the file is shorter than a RIFF header";
        return false;
    }
    if (!IsTag(bytes, "RIFF") || !IsTag(bytes + 8, "WAVE")) {
        *error = "not a WAV file (no RIFF/WAVE header)";
        return false;
    }
    const std::uint64_t end = std::min<std::uint64_t>(size, fileBytes);
    bool haveFormat = false;
    Format format;
    std::uint64_t at = 12;
    while (at + 8 <= end) {
        const std::uint8_t* chunk = bytes + at;
        const std::uint32_t chunkBytes = Get32(chunk + 4);
        const std::uint64_t body = at + 8;
        if (IsTag(chunk, "data")) {
            if (!haveFormat) {
                *error = "the data chunk comes before any fmt chunk";
                return false;
            }
            if (body + chunkBytes > fileBytes) {
                *error = "the data chunk claims " + std::to_string(chunkBytes) +
                         " bytes, beyond the end of the file (" + std::to_string(fileBytes - body) +
                         " bytes follow its header)";
                return false;
            }
            layout->format = format;
            layout->dataOffset = body;
            layout->frames = chunkBytes / format.BlockAlign();
            return true;
        }
        if (IsTag(chunk, "fmt ")) {
            if (body + chunkBytes > end) {
                *error = "truncated: the fmt chunk runs past the end of the file";
                return false;
            }
            if (!ParseFormat(bytes + body, chunkBytes, &format, error)) {
                return false;
            }
            haveFormat = true;
        }
        // Chunks are padded to an even length.
        at = body + chunkBytes + (chunkBytes & 1);
    }
    if (at + 8 <= fileBytes && size < fileBytes) {
        *error = "no data chunk within the first " + std::to_string(size) + " bytes";
    } else {
        *error = haveFormat ? "truncated: no data chunk" : "truncated: no fmt chunk";
    }
    return false;
}

std::vector<std::uint8_t> BuildHeader(const Format& format, std::uint32_t dataBytes) {
    const bool extensible = format.validBits != format.containerBits || format.channels > 2 ||
                            format.containerBits > 16 || format.channelMask != 0;
    const bool plainFloat = format.isFloat && format.channels <= 2 && format.channelMask == 0;
    const bool useExtensible = extensible && !plainFloat;
    const std::uint32_t fmtBytes = useExtensible ? 40 : 16;
    std::vector<std::uint8_t> out;
    out.reserve(68);
    PutTag(out, "RIFF");
    // The sum stays below 2^32: writers stop before the data reaches that limit.
    Put32(out, 4 + (8 + fmtBytes) + 8 + dataBytes + (dataBytes & 1));
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    Put32(out, fmtBytes);
    Put16(out, useExtensible ? ExtensibleTag : (format.isFloat ? FloatTag : PcmTag));
    Put16(out, format.channels);
    Put32(out, format.sampleRate);
    Put32(out, format.sampleRate * format.BlockAlign());
    Put16(out, format.BlockAlign());
    Put16(out, format.containerBits);
    if (useExtensible) {
        Put16(out, 22);
        Put16(out, format.validBits);
        Put32(out, format.channelMask);
        Put32(out, format.isFloat ? FloatTag : PcmTag);
        for (std::uint8_t byte : SubFormatTail) {
            out.push_back(byte);
        }
    }
    PutTag(out, "data");
    Put32(out, dataBytes);
    return out;
}

Reader::~Reader() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool Reader::Open(const std::string& path, std::string* error) {
    file_ = OpenPath(path, "rb");
    if (file_ == nullptr) {
        *error = path + ": cannot open (" + std::strerror(errno) + ")";
        return false;
    }
    std::uint64_t size = 0;
    if (!FileSize(file_, &size)) {
        *error = path + ": cannot find its size";
        return false;
    }
    // Headers with long metadata chunks before the data still fit in this much.
    std::vector<std::uint8_t> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20)));
    if (!head.empty() && std::fread(head.data(), 1, head.size(), file_) != head.size()) {
        *error = path + ": read error";
        return false;
    }
    std::string reason;
    if (!ParseHeader(head.data(), head.size(), size, &layout_, &reason)) {
        *error = path + ": " + reason;
        return false;
    }
    if (Seek(file_, layout_.dataOffset) != 0) {
        *error = path + ": cannot seek to the data";
        return false;
    }
    framesRead_ = 0;
    return true;
}

std::uint32_t Reader::Read(std::uint8_t* out, std::uint32_t frames) {
    if (file_ == nullptr || framesRead_ >= layout_.frames) {
        return 0;
    }
    const std::uint32_t want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, layout_.frames - framesRead_));
    const std::size_t blockAlign = layout_.format.BlockAlign();
    const std::size_t got = std::fread(out, blockAlign, want, file_);
    if (got != want) {
        error_ = "the file ended early or could not be read";
        // The header's count is no longer trusted: nothing more comes from this file.
        framesRead_ = layout_.frames;
    } else {
        framesRead_ += got;
    }
    return static_cast<std::uint32_t>(got);
}

Writer::~Writer() {
    Close();
}

bool Writer::Open(const std::string& path, const Format& format, std::string* error) {
    const std::string problem = CheckFormat(format);
    if (!problem.empty()) {
        *error = "cannot write " + problem;
        return false;
    }
    file_ = OpenPath(path, "wb");
    if (file_ == nullptr) {
        *error = path + ": cannot create (" + std::strerror(errno) + ")";
        return false;
    }
    format_ = format;
    frames_ = 0;
    full_ = false;
    const std::vector<std::uint8_t> header = BuildHeader(format_, 0);
    headerBytes_ = static_cast<std::uint32_t>(header.size());
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        *error = path + ": write error";
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

std::uint32_t Writer::Write(const std::uint8_t* bytes, std::uint32_t frames) {
    if (file_ == nullptr || full_ || !error_.empty()) {
        return 0;
    }
    const std::uint64_t blockAlign = format_.BlockAlign();
    // RIFF sizes are 32-bit: the whole file, padding included, must stay below 4 GiB.
    const std::uint64_t limit = (0xFFFFFFFEull - headerBytes_) / blockAlign;
    std::uint64_t take = frames;
    if (frames_ + take > limit) {
        take = limit - frames_;
        full_ = true;
    }
    const std::size_t wrote = std::fwrite(bytes, static_cast<std::size_t>(blockAlign),
                                          static_cast<std::size_t>(take), file_);
    if (wrote != take) {
        error_ = "write error (disk full?)";
    }
    frames_ += wrote;
    return static_cast<std::uint32_t>(wrote);
}

bool Writer::Flush() {
    if (file_ == nullptr) {
        return false;
    }
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames_ * format_.BlockAlign());
    bool good = true;
    if ((dataBytes & 1) != 0) {
        // The pad byte goes after the data; it is written again on every flush, which is fine
        // because later frames overwrite it.
        good = std::fputc(0, file_) != EOF && std::fseek(file_, -1, SEEK_CUR) == 0;
    }
    const std::vector<std::uint8_t> header = BuildHeader(format_, dataBytes);
    good = good && std::fflush(file_) == 0 && Seek(file_, 0) == 0 &&
           std::fwrite(header.data(), 1, header.size(), file_) == header.size() &&
           Seek(file_, headerBytes_ + std::uint64_t(dataBytes)) == 0 && std::fflush(file_) == 0;
    if (!good && error_.empty()) {
        error_ = "could not update the file's header";
    }
    return good;
}

bool Writer::Close() {
    if (file_ == nullptr) {
        return error_.empty();
    }
    bool good = Flush();
    good = std::fclose(file_) == 0 && good;
    file_ = nullptr;
    return good && error_.empty();
}

} // namespace wav
