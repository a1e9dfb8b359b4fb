// Kernel time-outs as the wait calls take them (100 ns units, negative relative, positive
// absolute system time), turned into deadlines on the host's clocks.
#pragma once

#include <chrono>

#include <ntddk.h>

namespace host {

// 100 ns units between 1 January 1601, where system time starts, and 1 January 1970.
constexpr LONGLONG SystemTimeOfUnixEpoch = 116444736000000000LL;

using SystemTimeUnits = std::chrono::duration<long long, std::ratio<1, 10000000>>;

struct Deadline {
    enum class Kind { Forever, Now, Relative, Absolute };
    Kind kind = Kind::Forever;
    // Relative time-outs run on the monotonic clock; absolute ones on the real-time clock, so that
    // they follow a change of the wall clock as Windows's do.
    std::chrono::steady_clock::time_point relativeEnd;
    std::chrono::system_clock::time_point absoluteEnd;

    bool HasPassed() const;
};

// null: forever; 0: now (a poll); negative: that many 100 ns from now; positive: that system
// time. Ends further away than the host clocks can hold (centuries) count as forever.
Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout);

// The current system time from the real-time clock: 100 ns units since 1601.
LONGLONG CurrentSystemTime();

} // namespace host
