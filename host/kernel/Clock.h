// The machine's clocks as the driver reads them: the performance counter at 10 MHz, as Windows
// reports it, and the system time, both on the machine's time (virtual in tests, see
// Timekeeper.h).
#pragma once

namespace host {

// A machine without a performance counter reports frequency 0 (and counter 0); each machine
// starts with one.
void SetPerformanceCounterPresent(bool present);

} // namespace host
