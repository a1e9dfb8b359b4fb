// Control request payloads, little-endian, every one starting with Version.
#include "Requests.h"

#include "TransportProtocol.h"

namespace conduit::requests {

namespace {

void Put(std::vector<std::uint8_t>& bytes, std::uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::vector<std::uint8_t> Versioned() {
    std::vector<std::uint8_t> bytes;
    Put(bytes, transport::ProtocolVersion, 4);
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

std::vector<std::uint8_t> GetControlBlock() {
    return Versioned();
}

std::vector<std::uint8_t> SetFormat(const DeviceFormat& format) {
    std::vector<std::uint8_t> bytes = Versioned();
    Put(bytes, format.sampleRate, 4);
    Put(bytes, format.bitsPerSample, 4);
    Put(bytes, format.channels, 4);
    Put(bytes, format.containerBytes, 4);
    Put(bytes, format.channelMask, 4);
    return bytes;
}

std::vector<std::uint8_t> SetLatency(std::uint32_t frames) {
    std::vector<std::uint8_t> bytes = Versioned();
    Put(bytes, frames, 4);
    return bytes;
}

std::vector<std::uint8_t> SetEvent(std::uint64_t handle, bool is32Bit) {
    std::vector<std::uint8_t> bytes = Versioned();
    Put(bytes, handle, is32Bit ? 4 : 8);
    return bytes;
}

std::vector<std::uint8_t> ReportStatus(std::int32_t clientStatus) {
    std::vector<std::uint8_t> bytes = Versioned();
    Put(bytes, static_cast<std::uint32_t>(clientStatus), 4);
    return bytes;
}

std::vector<std::uint8_t> ReportNumberedStatus(std::int32_t clientStatus,
                                               std::uint32_t handshakeNumber) {
    std::vector<std::uint8_t> bytes = ReportStatus(clientStatus);
    Put(bytes, handshakeNumber, 4);
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
