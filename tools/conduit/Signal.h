// Test signals for end-to-end runs: a tone per channel with a pseudo-random dither in the low
// bits, so that every frame differs from its neighbours and a lost, repeated or shifted frame
// shows, and the comparison that finds the first frame that differs.
#pragma once

#include <cstdint>
#include <vector>

#include "conduit/Client.h"

namespace conduit::tool {

// frames frames of the signal in format (PCM, little-endian, samples left-justified in their
// containers). variant picks one of several signals, so two directions carry different ones.
std::vector<std::uint8_t> GenerateSignal(const DeviceFormat& format, std::uint64_t frames,
                                         unsigned variant);

// The first frame at which received differs from sent (or ends early), or -1 when the first
// sent.size() bytes of received are sent exactly.
std::int64_t FirstDifferentFrame(const std::vector<std::uint8_t>& sent,
                                 const std::vector<std::uint8_t>& received,
                                 std::uint32_t blockAlign);

} // namespace conduit::tool
