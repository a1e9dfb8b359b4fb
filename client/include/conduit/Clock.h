// The client is the device's clock: a Clock says how many frames have become due since it was
// last asked, either following real time at the stream's sample rate or on demand.
#pragma once

#include <chrono>
#include <cstdint>

namespace conduit {

class Clock {
public:
    virtual ~Clock() = default;
    // Starts counting again from now; the session calls it when the stream starts running.
    virtual void Restart() = 0;
    // Frames that became due at sampleRate since the last Take or Restart.
    virtual std::uint64_t Take(std::uint32_t sampleRate) = 0;
    // How long until `frames` more frames are due at sampleRate; zero when the clock never
    // makes the caller wait.
    virtual std::chrono::microseconds TimeUntil(std::uint64_t frames, std::uint32_t sampleRate) = 0;
};

// Follows the system's monotonic clock. Fractions of a frame carry over to the next Take, so no
// frame is lost or gained over a long run.
class RealTimeClock : public Clock {
public:
    void Restart() override;
    std::uint64_t Take(std::uint32_t sampleRate) override;
    std::chrono::microseconds TimeUntil(std::uint64_t frames, std::uint32_t sampleRate) override;

    // Monotonic time with sub-microsecond resolution. Not std::chrono::steady_clock: with
    // mingw-w64's default thread model that is the wall clock, at the system timer's ticks.
    static std::chrono::nanoseconds Now();

private:
    std::chrono::nanoseconds last = Now();
    // Elapsed time not yet turned into frames, in nanoseconds × sampleRate units.
    std::uint64_t remainder = 0;
    std::uint32_t remainderRate = 0;
};

// Frames become due only when the owner says so; tests and fast runs use it. Frames granted
// before the stream runs stay granted: no time passes unless asked.
class ManualClock : public Clock {
public:
    void Advance(std::uint64_t frames) { pending += frames; }
    std::uint64_t Pending() const { return pending; }

    void Restart() override {}
    std::uint64_t Take(std::uint32_t sampleRate) override;
    std::chrono::microseconds TimeUntil(std::uint64_t, std::uint32_t) override {
        return std::chrono::microseconds(0);
    }

private:
    std::uint64_t pending = 0;
};

} // namespace conduit
