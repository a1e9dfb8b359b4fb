// The counting mode: N ticks and N handshakes, and as many bare hand-overs, each between
// markers, with what each operation costs in heap and pool allocations, context switches and
// futex calls (and, under callgrind, instructions: see tools/bench/gate.py).
#pragma once

#include <string>

namespace bench {

// Runs the four phases with count operations each on cpu (-2: not pinned). The process exit
// status: 0 when every phase ran, 1 otherwise. image: as DriverRig::Start takes it.
int RunCounting(int count, int cpu, const std::string& image);

} // namespace bench
