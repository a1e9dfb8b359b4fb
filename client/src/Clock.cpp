// The two clocks: real time at the sample rate, and frames granted on demand.
#include "conduit/Clock.h"

namespace conduit {

namespace {
constexpr std::uint64_t NanosecondsPerSecond = 1000000000ull;
}

void RealTimeClock::Restart() {
    last = std::chrono::steady_clock::now();
    remainder = 0;
}

std::uint64_t RealTimeClock::Take(std::uint32_t sampleRate) {
    const auto now = std::chrono::steady_clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
    last = now;
    if (sampleRate != remainderRate) {
        // A fraction of a frame at another rate means nothing at this one.
        remainder = 0;
        remainderRate = sampleRate;
    }
    if (elapsed <= 0 || sampleRate == 0) {
        return 0;
    }
    const std::uint64_t scaled = std::uint64_t(elapsed) * sampleRate + remainder;
    remainder = scaled % NanosecondsPerSecond;
    return scaled / NanosecondsPerSecond;
}

std::chrono::microseconds RealTimeClock::TimeUntil(std::uint64_t frames, std::uint32_t sampleRate) {
    if (sampleRate == 0) {
        return std::chrono::microseconds(0);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now() - last)
                             .count();
    const std::uint64_t have =
        (std::uint64_t(elapsed > 0 ? elapsed : 0) * sampleRate + remainder) / NanosecondsPerSecond;
    if (have >= frames) {
        return std::chrono::microseconds(0);
    }
    return std::chrono::microseconds((frames - have) * 1000000ull / sampleRate + 1);
}

std::uint64_t ManualClock::Take(std::uint32_t) {
    const std::uint64_t frames = pending;
    pending = 0;
    return frames;
}

} // namespace conduit
