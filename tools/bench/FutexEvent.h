// The baseline's wake-up primitive: an auto-reset event for one waiter, built directly on the
// futex system call, so the baseline pays exactly one wake and one sleep per hand-over.
#pragma once

#include <atomic>

namespace bench {

class FutexEvent {
public:
    // Signals the event; wakes the waiter if one sleeps. Several signals before a wait collapse
    // into one, as with an auto-reset event.
    void Set();
    // Returns once the event is signalled, consuming the signal.
    void Wait();
    // Drops a signal nobody consumed (only while no thread waits).
    void Reset();

private:
    // 1: signalled; 0: not signalled, nobody asleep; -1: not signalled, the waiter sleeps.
    std::atomic<int> state_{0};
};

} // namespace bench
