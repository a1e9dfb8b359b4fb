// The machine's time. A real machine reads the OS clocks. A virtual one (the test default) reads
// them plus an offset that the dispatcher moves forward, to the next deadline, whenever every
// thread of the process is blocked in a host wait: nothing can happen before that deadline
// anyway, so a one-second time-out costs no second. A thread doing anything else (running,
// blocked on a lock or a join, sleeping outside the host) holds the clock to real time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include <ntddk.h>

namespace host {

enum class MachineTime { Real, Virtual };

// 100 ns units between 1 January 1601, where system time starts, and 1 January 1970.
constexpr LONGLONG SystemTimeOfUnixEpoch = 116444736000000000LL;

class Timekeeper {
public:
    explicit Timekeeper(MachineTime mode);

    bool IsVirtual() const { return virtual_; }

    // Monotonic time in 100 ns units (the interrupt time: CLOCK_MONOTONIC plus the offset).
    LONGLONG InterruptTime() const;
    // Wall-clock time in 100 ns units since 1601 (CLOCK_REALTIME plus the offset).
    LONGLONG SystemTime() const;
    // What the virtual clock is ahead of the real one; 0 on a real machine.
    LONGLONG Offset() const { return offset_.load(std::memory_order_acquire); }

    // The dispatcher's side, under its lock.
    // Whether every thread of the process that can run host code is one of the blocked ones:
    // the process's thread list (not the host's) is counted, so a thread that has not entered
    // the host yet still holds the clock.
    bool EveryThreadBlocked(std::size_t blockedThreads) const;
    // Threads that existed before the machine (a sanitizer's helper) are never counted.
    bool IsForeign(pid_t thread) const;
    void Advance(LONGLONG by);

private:
    const bool virtual_;
    std::atomic<LONGLONG> offset_{0};
    std::vector<pid_t> foreign_;
};

// The current machine's clocks; the real ones when there is no machine.
LONGLONG InterruptTime();
LONGLONG CurrentSystemTime();

} // namespace host
