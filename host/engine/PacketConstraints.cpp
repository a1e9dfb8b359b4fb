// The engine's reading of packet-size constraints. How Windows's engine rounds is not
// documented; the rule here (each constraint applied in turn, always upwards) is the host's
// choice, written down in docs/architecture.md.
#include "PacketConstraints.h"

#include <cstddef>
#include <cstring>

namespace host::engine {

namespace {

constexpr std::uint64_t HnsPerSecond = 10000000;

std::uint64_t FramesIn(std::uint64_t hns, std::uint32_t rate) {
    return (hns * rate + HnsPerSecond - 1) / HnsPerSecond;
}

bool IsAlignmentMask(ULONG mask) {
    return mask <= FILE_512_BYTE_ALIGNMENT && (mask & (mask + 1)) == 0;
}

} // namespace

bool ReadPacketConstraints(const std::vector<std::uint8_t>& bytes, PacketConstraints* constraints) {
    const std::size_t header = offsetof(KSAUDIO_PACKETSIZE_CONSTRAINTS2, ProcessingModeConstraints);
    if (bytes.size() < header) {
        return false;
    }
    KSAUDIO_PACKETSIZE_CONSTRAINTS2 record{};
    std::memcpy(&record, bytes.data(), header);
    const std::size_t entry = sizeof(KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT);
    if ((bytes.size() - header) / entry < record.NumProcessingModeConstraints ||
        !IsAlignmentMask(record.PacketSizeFileAlignment)) {
        return false;
    }
    *constraints = PacketConstraints();
    constraints->minimumPeriodHns = record.MinPacketPeriodInHns;
    constraints->alignmentMask = record.PacketSizeFileAlignment;
    constraints->maximumPacketBytes = record.MaxPacketSizeInBytes;
    for (ULONG i = 0; i < record.NumProcessingModeConstraints; ++i) {
        KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT mode;
        std::memcpy(&mode, bytes.data() + header + i * entry, entry);
        if (IsEqualGUID(mode.ProcessingMode, AUDIO_SIGNALPROCESSINGMODE_DEFAULT)) {
            constraints->defaultModeFrames = mode.SamplesPerProcessingPacket;
            constraints->defaultModeHns = mode.ProcessingPacketDurationInHns;
        }
    }
    return true;
}

std::uint32_t SmallestPeriodFrames(const PacketConstraints& constraints, std::uint32_t rate,
                                   std::uint32_t blockAlign) {
    if (rate == 0 || blockAlign == 0) {
        return 0;
    }
    std::uint64_t frames = FramesIn(constraints.minimumPeriodHns, rate);
    const std::uint64_t packet = constraints.defaultModeFrames != 0
                                     ? constraints.defaultModeFrames
                                     : FramesIn(constraints.defaultModeHns, rate);
    if (frames == 0) {
        frames = packet != 0 ? packet : 1;
    }
    if (packet != 0) {
        frames = (frames + packet - 1) / packet * packet;
    }
    // At most 512 frames on: some multiple of a frame within them is aligned.
    while ((frames * blockAlign & constraints.alignmentMask) != 0) {
        ++frames;
    }
    if (constraints.maximumPacketBytes != 0 &&
        frames * blockAlign > constraints.maximumPacketBytes) {
        return 0;
    }
    return frames > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(frames);
}

} // namespace host::engine
