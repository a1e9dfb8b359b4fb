// Period arithmetic of the engine's cyclic buffer: which period a frame lies in, how many
// periods completed between two services, and how many of them came too late to be served.
// Plain functions; count and framesPerPeriod are never 0 here.
#pragma once

#include <cstdint>

namespace host::engine {

// The period holding frame offset; frames past the last whole period (a buffer that is not a
// multiple of the count) belong to the last period, as they are served with it.
inline std::uint32_t PeriodOf(std::uint32_t frame, std::uint32_t framesPerPeriod,
                              std::uint32_t count) {
    const std::uint32_t period = frame / framesPerPeriod;
    return period < count ? period : count - 1;
}

// Periods from the engine's cursor forward to the device's period (0 .. count - 1).
inline std::uint32_t PeriodsBetween(std::uint32_t cursor, std::uint32_t device,
                                    std::uint32_t count) {
    return (device + count - cursor % count) % count;
}

// Of `completed` periods that ended since the last service, those that can no longer be
// served intact: the device is inside the period after the last completed one, which shares
// its slot with the oldest completed period once `count` or more completed.
inline std::uint64_t LostPeriods(std::uint64_t completed, std::uint32_t count) {
    return completed >= count ? completed - (count - 1) : 0;
}

// Frames of period `period`: the last one also holds the frames past the whole periods.
inline std::uint32_t PeriodFrames(std::uint32_t period, std::uint32_t framesPerPeriod,
                                  std::uint32_t count, std::uint32_t bufferFrames) {
    return period + 1 < count ? framesPerPeriod : bufferFrames - period * framesPerPeriod;
}

} // namespace host::engine
