// What the benchmark asks of the operating system: the clocks, the CPU the process is pinned
// to, the real-time class of the driver's worker, and the process's CPU time and page faults.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds.
std::uint64_t NowNs();
// Sleeps until the CLOCK_MONOTONIC time deadlineNs.
void SleepUntilNs(std::uint64_t deadlineNs);
// CPU time of the whole process (every thread), in nanoseconds.
std::uint64_t ProcessCpuNs();
// Minor plus major page faults of the whole process so far.
std::uint64_t ProcessPageFaults();

// Pins the calling thread, and so every thread it creates afterwards, to cpu. False on failure.
bool PinToCpu(int cpu);
int CpuCount();

// Gives the calling thread the scheduling class and priority that the host platform gives a
// system thread at Windows priority 31 (see host/kernel/SystemThread.cpp), so the baseline's
// middle thread is scheduled as the driver's worker is. False when the process may not.
bool BecomeWorkerClass();
// How many threads of this process run in the round-robin real-time class now.
int RealTimeThreads();

// How busy the machine was while something ran: the 1-minute load average at its end and the
// share of CPU time the hypervisor stole meanwhile.
struct LoadSample {
    double average = 0;
    double stealPercent = 0;
    // Busy enough to disturb wall-clock figures: other work on half the CPUs besides the
    // benchmark's own, or 2 % stolen.
    bool High() const;
};

class LoadMeter {
public:
    LoadMeter();
    LoadSample Read() const;

private:
    std::uint64_t steal_ = 0;
    std::uint64_t total_ = 0;
};

// One line on the machine: CPU model, CPU count, kernel.
std::string MachineSummary();

} // namespace bench
