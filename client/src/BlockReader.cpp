// Checked reading of the shared control block.
#include "BlockReader.h"

#include <cstring>

#include "TransportProtocol.h"

namespace conduit::block {

namespace {

using transport::TransportControlBlock;

#define FIELD(name) static_cast<std::uint32_t>(offsetof(TransportControlBlock, name))

constexpr std::uint32_t ExtensibleTag = 0xFFFE;
constexpr std::uint32_t PcmTag = 1;
constexpr std::uint32_t FloatTag = 3;

std::uint16_t Get16(const std::uint8_t* bytes, unsigned at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t Get32(const std::uint8_t* bytes, unsigned at) {
    return std::uint32_t(Get16(bytes, at)) | (std::uint32_t(Get16(bytes, at + 2)) << 16);
}

bool InRange(std::uint32_t value, std::uint32_t least, std::uint32_t greatest) {
    return value >= least && value <= greatest;
}

// The same limits the driver applies to a format request; zeros mean "not published yet".
bool CheckDeviceFormat(const DeviceFormat& format, std::string* problem) {
    if (format.sampleRate == 0 && format.bitsPerSample == 0 && format.channels == 0 &&
        format.containerBytes == 0 && format.channelMask == 0) {
        return true;
    }
    if (!InRange(format.sampleRate, 8000, 384000) || !InRange(format.bitsPerSample, 8, 32) ||
        !InRange(format.channels, 1, 8) || !InRange(format.containerBytes, 1, 4) ||
        (format.channelMask & 0x7FFC0000u) != 0) {
        *problem = "device format out of range: " + std::to_string(format.sampleRate) + " Hz, " +
                   std::to_string(format.bitsPerSample) + " bits, " +
                   std::to_string(format.channels) + " channels, " +
                   std::to_string(format.containerBytes) + "-byte containers";
        return false;
    }
    return true;
}

} // namespace

std::uint64_t Load64(const void* block, std::uint32_t offset) {
    std::uint64_t previous = ~std::uint64_t(0);
    for (;;) {
        const std::uint64_t value =
            std::uint64_t(Load32(block, offset)) | (std::uint64_t(Load32(block, offset + 4)) << 32);
        if (value == previous) {
            return value;
        }
        previous = value;
    }
}

bool ParseStreamFormat(const std::uint8_t (&bytes)[40], StreamFormat* format,
                       std::string* problem) {
    StreamFormat parsed;
    parsed.formatTag = Get16(bytes, 0);
    if (parsed.formatTag == 0) {
        return false;
    }
    parsed.channels = Get16(bytes, 2);
    parsed.sampleRate = Get32(bytes, 4);
    parsed.blockAlign = Get16(bytes, 12);
    parsed.containerBits = Get16(bytes, 14);
    const std::uint16_t extraBytes = Get16(bytes, 16);
    parsed.validBits = parsed.containerBits;
    if (parsed.formatTag == ExtensibleTag && extraBytes >= 22) {
        parsed.validBits = Get16(bytes, 18);
        parsed.channelMask = Get32(bytes, 20);
        // The sub-format GUID follows the mask; only its first field tells PCM from float.
        parsed.isFloat = Get32(bytes, 24) == FloatTag;
    } else {
        parsed.isFloat = parsed.formatTag == FloatTag;
    }
    std::string reason;
    if (parsed.formatTag != ExtensibleTag && parsed.formatTag != PcmTag &&
        parsed.formatTag != FloatTag) {
        reason = "format tag " + std::to_string(parsed.formatTag);
    } else if (!InRange(parsed.channels, 1, 8)) {
        reason = std::to_string(parsed.channels) + " channels";
    } else if (!InRange(parsed.sampleRate, 8000, 384000)) {
        reason = std::to_string(parsed.sampleRate) + " Hz";
    } else if (parsed.containerBits % 8 != 0 || !InRange(parsed.containerBits, 8, 32)) {
        reason = std::to_string(parsed.containerBits) + "-bit containers";
    } else if (parsed.blockAlign != parsed.channels * parsed.containerBits / 8) {
        reason = "block alignment " + std::to_string(parsed.blockAlign) + " for " +
                 std::to_string(parsed.channels) + " channels of " +
                 std::to_string(parsed.containerBits) + " bits";
    } else if (!InRange(parsed.validBits, 1, parsed.containerBits)) {
        reason = std::to_string(parsed.validBits) + " valid bits in " +
                 std::to_string(parsed.containerBits) + "-bit containers";
    }
    if (!reason.empty()) {
        *problem = "StreamFormat is not usable: " + reason;
        return false;
    }
    *format = parsed;
    return true;
}

StreamView Read(const void* block, std::uint32_t windowBytes) {
    StreamView view;
    view.handshakeNumber = Load32(block, FIELD(HandshakeNumber));
    view.clientConnected = (Load32(block, FIELD(ClientConnected)) & 0xFF) != 0;
    view.streamOpen = (Load32(block, FIELD(StreamOpen)) & 0xFF) != 0;
    view.handshakeFlags = Load32(block, FIELD(HandshakeFlags));
    if ((view.handshakeFlags & ~(transport::AwaitingClient | transport::HandshakeActive)) != 0) {
        view.problems.push_back("HandshakeFlags has unknown bits: " +
                                std::to_string(view.handshakeFlags));
    }
    view.streamModeFlags = Load32(block, FIELD(StreamModeFlags));

    const std::uint32_t state = Load32(block, FIELD(StreamState));
    if (state <= 3) {
        view.state = static_cast<StreamState>(state);
    } else {
        view.state = StreamState::Unknown;
        view.problems.push_back("StreamState " + std::to_string(state) + " is not a stream state");
    }

    std::uint8_t formatBytes[40];
    for (std::uint32_t word = 0; word < 10; ++word) {
        const std::uint32_t value = Load32(block, FIELD(StreamFormat) + word * 4);
        std::memcpy(formatBytes + word * 4, &value, 4);
    }
    std::string problem;
    view.hasFormat = ParseStreamFormat(formatBytes, &view.format, &problem);
    if (!problem.empty()) {
        view.problems.push_back(problem);
    }

    const std::uint32_t bufferFrames = Load32(block, FIELD(BufferFrames));
    if (view.hasFormat && bufferFrames != 0) {
        if (std::uint64_t(bufferFrames) * view.format.blockAlign > windowBytes) {
            view.problems.push_back("BufferFrames " + std::to_string(bufferFrames) + " of " +
                                    std::to_string(view.format.blockAlign) +
                                    " bytes reach past the " + std::to_string(windowBytes) +
                                    "-byte data buffer");
        } else {
            view.bufferFrames = bufferFrames;
        }
    }
    view.aheadFrames = Load32(block, FIELD(AheadFrames));
    view.driverPosition = Load32(block, FIELD(DriverPosition));

    view.deviceFormat.sampleRate = Load32(block, FIELD(SampleRate));
    view.deviceFormat.bitsPerSample = Load32(block, FIELD(BitsPerSample));
    view.deviceFormat.channels = Load32(block, FIELD(Channels));
    view.deviceFormat.containerBytes = Load32(block, FIELD(ContainerBytes));
    view.deviceFormat.channelMask = Load32(block, FIELD(ChannelMask));
    if (!CheckDeviceFormat(view.deviceFormat, &problem)) {
        view.problems.push_back(problem);
        view.deviceFormat = DeviceFormat();
    }
    view.latencyFrames = Load32(block, FIELD(LatencyFrames));
    return view;
}

} // namespace conduit::block
