// The smallest period the whole system keeps up with in real time: the driver, the simulated
// engine in low-latency mode and the client library, both directions at once, for a set time
// without losing one period.
#pragma once

namespace bench {

// Runs the search and prints each attempt and the answer. seconds: how long a period size must
// run clean. Returns false when no run could be set up at all.
bool ReportSmallestSustainedPeriod(double seconds);

} // namespace bench
