// The machine's clocks: a real monotonic performance counter at 10 MHz, as Windows reports it,
// and the real-time system clock in Windows units.
#pragma once

namespace host {

// A machine without a performance counter reports frequency 0 (and counter 0); each machine
// starts with one.
void SetPerformanceCounterPresent(bool present);

} // namespace host
