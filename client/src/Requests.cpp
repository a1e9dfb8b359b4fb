// Control request payloads, little-endian, every one starting with Version.
#include "Requests.h"

#include <cstdlib>

#include "TransportProtocol.h"

namespace conduit::requests {

void Payload::Overflow() {
    std::abort();
}

namespace {

Payload Versioned() {
    Payload bytes;
    bytes.Put<4>(transport::ProtocolVersion);
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
    bytes.Put<4>(format.sampleRate);
    bytes.Put<4>(format.bitsPerSample);
    bytes.Put<4>(format.channels);
    bytes.Put<4>(format.containerBytes);
    bytes.Put<4>(format.channelMask);
    return bytes;
}

Payload SetLatency(std::uint32_t frames) {
    Payload bytes = Versioned();
    bytes.Put<4>(frames);
    return bytes;
}

Payload SetEvent(std::uint64_t handle, bool is32Bit) {
    Payload bytes = Versioned();
    if (is32Bit) {
        bytes.Put<4>(handle);
    } else {
        bytes.Put<8>(handle);
    }
    return bytes;
}

Payload ReportStatus(std::int32_t clientStatus) {
    Payload bytes = Versioned();
    bytes.Put<4>(static_cast<std::uint32_t>(clientStatus));
    return bytes;
}

Payload ReportNumberedStatus(std::int32_t clientStatus, std::uint32_t handshakeNumber) {
    Payload bytes = ReportStatus(clientStatus);
    bytes.Put<4>(handshakeNumber);
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
