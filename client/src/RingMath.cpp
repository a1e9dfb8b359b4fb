// Position arithmetic of the shared ring.
#include "RingMath.h"

namespace conduit::ring {

std::uint32_t FramesToBoundary(std::uint32_t offset, std::uint32_t bufferFrames) {
    const std::uint64_t period = PeriodFrames(bufferFrames);
    std::uint64_t next = (offset / period + 1) * period;
    if (next > bufferFrames) {
        next = bufferFrames;
    }
    return static_cast<std::uint32_t>(next - offset);
}

bool SeenOffset(std::uint32_t driverPosition, std::uint32_t aheadFrames, std::uint32_t bufferFrames,
                std::uint32_t* offset) {
    if (driverPosition >= bufferFrames || aheadFrames == 0 || aheadFrames > bufferFrames) {
        return false;
    }
    *offset = static_cast<std::uint32_t>(
        (std::uint64_t(driverPosition) + bufferFrames - aheadFrames) % bufferFrames);
    return true;
}

std::uint32_t PositionRegister(std::uint64_t frames, std::uint32_t bufferFrames,
                               std::uint32_t blockAlign) {
    return static_cast<std::uint32_t>(frames % bufferFrames * blockAlign);
}

} // namespace conduit::ring
