// Helpers of the format and attribute-list tests: blocks laid out byte by byte and handed to
// the checks in heap buffers of exactly their size, so AddressSanitizer sees any over-read.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/Diagnostics.h"
#include "support/WaveFormat.h"

namespace formats_test {

// A copy of bytes in an allocation of exactly `size` bytes (the bytes beyond are cut off).
class ExactBlock {
public:
    ExactBlock(const std::vector<unsigned char>& bytes, size_t size)
        : data_(new unsigned char[size == 0 ? 1 : size]), size_(size) {
        std::memcpy(data_.get(), bytes.data(), std::min(size, bytes.size()));
    }
    explicit ExactBlock(const std::vector<unsigned char>& bytes)
        : ExactBlock(bytes, bytes.size()) {}
    const unsigned char* data() const { return data_.get(); }
    const KSDATAFORMAT* format() const { return reinterpret_cast<const KSDATAFORMAT*>(data()); }
    size_t size() const { return size_; }

private:
    std::unique_ptr<unsigned char[]> data_;
    size_t size_;
};

// A diagnostic buffer on the heap, exactly MessageCapacity characters long.
class MessageBuffer {
public:
    MessageBuffer() : data_(new WCHAR[MessageCapacity]) { data_[0] = 0; }
    PWCHAR get() { return data_.get(); }
    std::string text() const {
        std::string narrow;
        for (ULONG index = 0; index < MessageCapacity && data_[index] != 0; ++index) {
            narrow += static_cast<char>(data_[index]);
        }
        return narrow;
    }

private:
    std::unique_ptr<WCHAR[]> data_;
};

// Little-endian field writers over a growable byte vector.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<unsigned char>& bytes) : bytes_(bytes) {}
    template <typename T>
    void Put(size_t offset, const T& value) {
        if (bytes_.size() < offset + sizeof(T)) {
            bytes_.resize(offset + sizeof(T));
        }
        std::memcpy(bytes_.data() + offset, &value, sizeof(T));
    }
    template <typename T>
    T Get(size_t offset) const {
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

private:
    std::vector<unsigned char>& bytes_;
};

inline WAVEFORMATEXTENSIBLE PlainPcm(ULONG rate, USHORT bits, USHORT channels) {
    WAVEFORMATEXTENSIBLE record = {};
    record.Format.wFormatTag = WAVE_FORMAT_PCM;
    record.Format.nChannels = channels;
    record.Format.nSamplesPerSec = rate;
    record.Format.wBitsPerSample = bits;
    record.Format.nBlockAlign = static_cast<USHORT>(bits / 8 * channels);
    record.Format.nAvgBytesPerSec = record.Format.nBlockAlign * rate;
    return record;
}

inline WAVEFORMATEXTENSIBLE ExtensiblePcm(ULONG rate, USHORT validBits, USHORT containerBits,
                                          USHORT channels, ULONG mask) {
    WAVEFORMATEXTENSIBLE record = PlainPcm(rate, containerBits, channels);
    record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record.Format.cbSize = 22;
    record.Samples.wValidBitsPerSample = validBits;
    record.dwChannelMask = mask;
    const GUID pcm = KSDATAFORMAT_SUBTYPE_PCM;
    std::memcpy(&record.SubFormat, &pcm, sizeof(GUID));
    return record;
}

inline GUID SubFormatOf(const WAVEFORMATEXTENSIBLE& record) {
    GUID guid;
    std::memcpy(&guid, &record.SubFormat, sizeof(GUID));
    return guid;
}

inline bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace formats_test

namespace formats_test {

// One attribute of a list; a mode attribute carries its mode behind the header when its Size
// leaves room for it.
struct Attribute {
    ULONG size;
    GUID id;
    GUID mode;
    ULONG flags = 0;
};

inline Attribute ModeAttribute(const GUID& mode, ULONG size = 40) {
    return Attribute{size, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, mode};
}

// A list whose header says `size` and `count`; the attributes are laid out 8-aligned and the
// bytes are cut or zero-filled to `size`.
inline std::vector<unsigned char> AttributeList(ULONG size, ULONG count,
                                                const std::vector<Attribute>& attributes) {
    std::vector<unsigned char> bytes;
    ByteWriter writer(bytes);
    writer.Put(0, KSMULTIPLE_ITEM{size, count});
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (const Attribute& attribute : attributes) {
        std::vector<unsigned char> entry;
        ByteWriter entryWriter(entry);
        entryWriter.Put(0, KSATTRIBUTE{attribute.size, attribute.flags, attribute.id});
        entryWriter.Put(sizeof(KSATTRIBUTE), attribute.mode);
        entry.resize(std::min<size_t>(attribute.size, entry.size())); // the rest is zeros
        bytes.resize(offset);
        bytes.insert(bytes.end(), entry.begin(), entry.end());
        offset += (attribute.size + 7) & ~size_t{7};
    }
    bytes.resize(size);
    return bytes;
}

} // namespace formats_test
