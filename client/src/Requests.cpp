// Control request payloads, little-endian, every one starting with Version.
#include "Requests.h"

#include <cstdlib>

#include "TransportProtocol.h"

namespace conduit::requests {

void Payload::Put(std::uint64_t value, unsigned width) {
    // Every request has a fixed layout that fits; anything else is a bug here.
    if (width > Capacity - size_) {
        std::abort();
    }
    for (unsigned i = 0; i < width; ++i) {
        bytes_[size_++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

namespace {

Payload Versioned() {
    Payload bytes;
    bytes.Put(transport::ProtocolVersion, 4);
    return bytes;
}

std::u16string Widen(const wchar_t* text) {
    // WCHAR is 16 bits on Windows and in the -fshort-wchar Linux build.
    static_assert(sizeof(wchar_t) == 2, "protocol names are UTF-16");
    std::u16string result;
    for (; *text != 0; ++text) {
        result.push_back(static_cast<char16_t>(*text));
    }
    return result;
}

} // namespace

Payload GetControlBlock() {
    return Versioned();
}

Payload SetFormat(const DeviceFormat& format) {
    Payload bytes = Versioned();
    bytes.Put(format.sampleRate, 4);
    bytes.Put(format.bitsPerSample, 4);
    bytes.Put(format.channels, 4);
    bytes.Put(format.containerBytes, 4);
    bytes.Put(format.channelMask, 4);
    return bytes;
}

Payload SetLatency(std::uint32_t frames) {
    Payload bytes = Versioned();
    bytes.Put(frames, 4);
    return bytes;
}

Payload SetEvent(std::uint64_t handle, bool is32Bit) {
    Payload bytes = Versioned();
    bytes.Put(handle, is32Bit ? 4 : 8);
    return bytes;
}

Payload ReportStatus(std::int32_t clientStatus) {
    Payload bytes = Versioned();
    bytes.Put(static_cast<std::uint32_t>(clientStatus), 4);
    return bytes;
}

Payload ReportNumberedStatus(std::int32_t clientStatus, std::uint32_t handshakeNumber) {
    Payload bytes = ReportStatus(clientStatus);
    bytes.Put(handshakeNumber, 4);
    return bytes;
}

bool ParseControlBlockAddress(const std::uint8_t* answer, std::uint32_t returned, bool is32Bit,
                              std::uint64_t* address) {
    const std::uint32_t width = is32Bit ? 4 : 8;
    if (returned != width) {
        return false;
    }
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < width; ++i) {
        value |= std::uint64_t(answer[i]) << (8 * i);
    }
    if (value == 0) {
        return false;
    }
    *address = value;
    return true;
}

std::u16string FileName(Direction direction) {
    return Widen(direction == Direction::Render ? TRANSPORT_RENDER_FILE_NAME
                                                : TRANSPORT_CAPTURE_FILE_NAME);
}

} // namespace conduit::requests
