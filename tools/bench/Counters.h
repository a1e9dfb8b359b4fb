// Deterministic costs of one operation, for the counting mode: the process's heap allocations,
// the host pool's allocations, context switches and futex calls of every thread, and phase
// markers that callgrind turns into one profile dump (instruction counts) per phase.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct Counts {
    std::uint64_t heap = 0;     // malloc-family calls that returned a block
    std::uint64_t pool = 0;     // the current machine's pool allocations
    std::uint64_t switches = 0; // voluntary and involuntary context switches
    std::uint64_t futex = 0;    // futex system calls
};

// Starts the futex counter. It follows only threads created after it, so it must run before
// the program creates any. False with *why set when the kernel refuses it (no tracefs, or
// not permitted: perf_event_paranoid and CAP_PERFMON).
bool StartProcessCounters(std::string* why);

// Whether heap allocations are counted in this build (not under a sanitizer, which owns malloc).
bool HeapCounted();

Counts ReadCounts();

// Callgrind markers; no-ops outside valgrind. A phase's dump is named after it.
bool UnderCallgrind();
void BeginPhase();
void EndPhase(const char* name);

} // namespace bench
