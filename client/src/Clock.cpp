// The two clocks: real time at the sample rate, and frames granted on demand.
#include "conduit/Clock.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace conduit {

namespace {
constexpr std::uint64_t NanosecondsPerSecond = 1000000000ull;
}

std::chrono::nanoseconds RealTimeClock::Now() {
#ifdef _WIN32
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const std::uint64_t rate = static_cast<std::uint64_t>(frequency.QuadPart);
    // Split so that ticks × 10^9 cannot overflow however long the machine has been up.
    return std::chrono::nanoseconds((ticks / rate) * NanosecondsPerSecond +
                                    (ticks % rate) * NanosecondsPerSecond / rate);
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
#endif
}

void RealTimeClock::Restart() {
    last = Now();
    remainder = 0;
}

std::uint64_t RealTimeClock::Take(std::uint32_t sampleRate) {
    const auto now = Now();
    const auto elapsed = (now - last).count();
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
    const auto elapsed = (Now() - last).count();
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
