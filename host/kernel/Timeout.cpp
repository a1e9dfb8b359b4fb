// Conversion of kernel time-outs into host clock deadlines.
#include "Timeout.h"

namespace host {

namespace {
// A century in 100 ns units: beyond this a relative or absolute end is treated as never, which
// keeps every conversion below clamps inside the nanosecond range of the host clocks.
constexpr LONGLONG Century = 100LL * 36525 * 24 * 3600 * 10000000;
} // namespace

bool Deadline::HasPassed() const {
    switch (kind) {
    case Kind::Forever:
        return false;
    case Kind::Now:
        return true;
    case Kind::Relative:
        return std::chrono::steady_clock::now() >= relativeEnd;
    case Kind::Absolute:
        return std::chrono::system_clock::now() >= absoluteEnd;
    }
    return false;
}

Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    Deadline deadline;
    if (timeout == nullptr) {
        return deadline;
    }
    LONGLONG value = timeout->QuadPart;
    if (value == 0) {
        deadline.kind = Deadline::Kind::Now;
    } else if (value < 0) {
        if (value < -Century) {
            return deadline;
        }
        deadline.kind = Deadline::Kind::Relative;
        deadline.relativeEnd = std::chrono::steady_clock::now() + SystemTimeUnits(-value);
    } else {
        LONGLONG sinceUnixEpoch = value - SystemTimeOfUnixEpoch;
        if (sinceUnixEpoch > 2 * Century) {
            return deadline;
        }
        deadline.kind = Deadline::Kind::Absolute;
        // Before 1970 is long past; the clock's origin stands in for it without overflowing.
        if (sinceUnixEpoch > 0) {
            deadline.absoluteEnd = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    SystemTimeUnits(sinceUnixEpoch)));
        }
    }
    return deadline;
}

LONGLONG CurrentSystemTime() {
    auto sinceUnixEpoch = std::chrono::duration_cast<SystemTimeUnits>(
        std::chrono::system_clock::now().time_since_epoch());
    return SystemTimeOfUnixEpoch + sinceUnixEpoch.count();
}

} // namespace host
