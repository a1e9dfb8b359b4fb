// Position arithmetic of the shared ring: where the next frames go, when a notification period
// is crossed, and what the driver last saw. Plain functions; bufferFrames is never 0 here.
#pragma once

#include <cstdint>

namespace conduit::ring {

// The driver counts a period each time (offset / (bufferFrames / count)) changes, with one or
// two periods per buffer. The client cannot see the count, so it plans with two, the finer one.
inline std::uint32_t PeriodFrames(std::uint32_t bufferFrames) {
    return bufferFrames / 2 != 0 ? bufferFrames / 2 : 1;
}

inline std::uint32_t PeriodIndex(std::uint32_t offset, std::uint32_t bufferFrames) {
    return offset / PeriodFrames(bufferFrames);
}

// Frames from offset (below bufferFrames) to the next change of period index or to the end of
// the buffer, whichever comes first: a move of at most this many frames is contiguous and
// crosses at most one period boundary.
std::uint32_t FramesToBoundary(std::uint32_t offset, std::uint32_t bufferFrames);

// The client offset the driver's last tick saw: its position minus the frames it counted ahead
// (1..bufferFrames). False when the published values are out of range (no tick yet, a stale
// buffer, or garbage).
bool SeenOffset(std::uint32_t driverPosition, std::uint32_t aheadFrames, std::uint32_t bufferFrames,
                std::uint32_t* offset);

// The position register: the byte offset in the buffer of the client's frames since the reset.
std::uint32_t PositionRegister(std::uint64_t frames, std::uint32_t bufferFrames,
                               std::uint32_t blockAlign);

} // namespace conduit::ring
