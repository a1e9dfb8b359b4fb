// Conversion of kernel time-outs into deadlines on the machine's clocks.
#include "Timeout.h"

namespace host {

namespace {
// A century in 100 ns units: beyond this a relative or absolute end is treated as never, which
// keeps every sum below far from overflowing and inside the nanosecond range of the OS clocks.
constexpr LONGLONG Century = 100LL * 36525 * 24 * 3600 * 10000000;
} // namespace

LONGLONG Deadline::Remaining() const {
    return kind == Kind::Absolute ? end - CurrentSystemTime() : end - InterruptTime();
}

bool Deadline::HasPassed() const {
    switch (kind) {
    case Kind::Forever:
        return false;
    case Kind::Now:
        return true;
    case Kind::Relative:
    case Kind::Absolute:
        return Remaining() <= 0;
    }
    return false;
}

HOST_KEEPS_XMM Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
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
        deadline.end = InterruptTime() - value;
    } else {
        if (value - SystemTimeOfUnixEpoch > 2 * Century) {
            return deadline;
        }
        deadline.kind = Deadline::Kind::Absolute;
        // Before 1970 is long past; the epoch stands in for it, which any clock has passed.
        deadline.end = value < SystemTimeOfUnixEpoch ? SystemTimeOfUnixEpoch : value;
    }
    return deadline;
}

} // namespace host
