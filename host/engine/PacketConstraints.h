// What the engine makes of a filter's packet-size constraints (the interface property
// DEVPKEY_KsAudio_PacketSize_Constraints2): the smallest period they allow at a format. Plain
// functions over the property's bytes, which come from the driver and are not trusted.
#pragma once

#include <cstdint>
#include <vector>

#include <ntddk.h>

#include <ksmedia.h>

namespace host::engine {

struct PacketConstraints {
    ULONG minimumPeriodHns = 0;
    ULONG alignmentMask = 0;      // FILE_BYTE_ALIGNMENT ... FILE_512_BYTE_ALIGNMENT
    ULONG maximumPacketBytes = 0; // 0: no maximum
    // The default processing mode's packet, as the record gives it (both 0: none declared).
    ULONG defaultModeFrames = 0;
    ULONG defaultModeHns = 0;
};

// Reads a record: false for one too short for the entries it counts, or with an alignment that
// is no FILE_*_ALIGNMENT value.
bool ReadPacketConstraints(const std::vector<std::uint8_t>& bytes, PacketConstraints* constraints);

// The smallest period in frames the constraints allow at rate and blockAlign: the minimum
// period rounded up to whole frames, then to a whole number of default-mode packets, then to
// the alignment. 0 when that period exceeds the maximum packet size.
std::uint32_t SmallestPeriodFrames(const PacketConstraints& constraints, std::uint32_t rate,
                                   std::uint32_t blockAlign);

} // namespace host::engine
