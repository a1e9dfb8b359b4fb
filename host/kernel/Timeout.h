// Kernel time-outs as the wait calls take them (100 ns units, negative relative, positive
// absolute system time), turned into deadlines on the machine's clocks.
#pragma once

#include <ntddk.h>

#include "KeepsXmm.h"
#include "Timekeeper.h"

namespace host {

struct Deadline {
    enum class Kind { Forever, Now, Relative, Absolute };
    Kind kind = Kind::Forever;
    // Relative: the interrupt time it ends at. Absolute: the system time it ends at, so that it
    // follows a change of the wall clock as Windows's absolute time-outs do.
    LONGLONG end = 0;

    bool HasPassed() const;
    // How far away it is now on the interrupt-time scale (negative once passed); only for the
    // timed kinds.
    LONGLONG Remaining() const;
};

// null: forever; 0: now (a poll); negative: that many 100 ns from now; positive: that system
// time. Ends further away than the host clocks can hold (centuries) count as forever.
HOST_KEEPS_XMM Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout);

} // namespace host
