// Blocking waits: a wait block linked under the dispatcher lock, a sleep on the thread's futex
// word outside it, time-outs on the machine's clock, and the virtual clock's jump to the nearest
// deadline once every thread is blocked. Released threads are woken after the lock is released.
#include "Dispatcher.h"

#include <time.h>

#include <algorithm>
#include <climits>

#include "Futex.h"
#include "WaitLists.h"

namespace host {

namespace {

// On a virtual clock a timed waiter looks again this often (100 ns units): a thread that held
// the clock may have ended without entering the host again, and nobody else would notice.
constexpr LONGLONG VirtualSlice = 10000; // 1 ms

timespec ToTimespec(LONGLONG units) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(units / 10000000);
    value.tv_nsec = static_cast<long>(units % 10000000) * 100;
    return value;
}

// Sleeps while *word still reads expected, until woken or the OS clock reaches end (100 ns
// units on clock; LLONG_MAX: no end). Returns at once if the word has already changed.
void FutexSleep(std::atomic<std::uint32_t>* word, std::uint32_t expected, clockid_t clock,
                LONGLONG end) {
    if (end == LLONG_MAX) {
        FutexWait(word, expected);
        return;
    }
    int operation = FUTEX_WAIT_BITSET_PRIVATE;
    if (clock == CLOCK_REALTIME) {
        operation |= FUTEX_CLOCK_REALTIME;
    }
    const timespec deadline = ToTimespec(end);
    Futex(word, operation, expected, &deadline, FUTEX_BITSET_MATCH_ANY);
}

LONGLONG ReadOsClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<LONGLONG>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

} // namespace

HOST_KEEPS_XMM NTSTATUS Dispatcher::Block(DISPATCHER_HEADER* object, PKTHREAD thread,
                                          const Deadline& deadline) noexcept {
    WaitBlock& wait = thread->wait;
    wait.object = object;
    wait.deadline = deadline;
    wait.status = STATUS_PENDING;
    wait.pending = true;
    wait.word.store(WaitBlock::Waiting, std::memory_order_relaxed);
    if (object != nullptr) {
        InsertTail(&object->WaitListHead, &wait.objectEntry);
    }
    if (Timed(deadline)) {
        InsertTail(&timedWaits, &wait.timerEntry);
    }
    wait.counted = time.IsVirtual() && !thread->foreign;
    if (wait.counted) {
        blockedThreads++;
    }
    if (time.IsVirtual()) {
        Wakes woken;
        // This thread may have been the last one running.
        AdvanceIfIdle(woken);
        lock.unlock();
    } else {
        lock.unlock();
    }
    return Sleep(wait);
}

__attribute__((always_inline)) HOST_KEEPS_XMM inline bool
Dispatcher::Doze(WaitBlock& wait, clockid_t clock, LONGLONG end) noexcept {
    std::uint32_t seen = WaitBlock::Waiting;
    if (!wait.word.compare_exchange_strong(seen, WaitBlock::Asleep, std::memory_order_acquire) &&
        seen == WaitBlock::Released) {
        return true;
    }
    FutexSleep(&wait.word, WaitBlock::Asleep, clock, end);
    // Awake again: a release from now on needs no futex wake.
    seen = WaitBlock::Asleep;
    return !wait.word.compare_exchange_strong(seen, WaitBlock::Waiting,
                                              std::memory_order_acquire) &&
           seen == WaitBlock::Released;
}

HOST_KEEPS_XMM bool Dispatcher::DozeVirtual(WaitBlock& wait) noexcept {
    // Virtual time may jump under the sleeper: look again within a slice.
    const LONGLONG remaining = std::max<LONGLONG>(0, wait.deadline.Remaining());
    return Doze(wait, CLOCK_MONOTONIC,
                ReadOsClock(CLOCK_MONOTONIC) + std::min(remaining, VirtualSlice));
}

HOST_KEEPS_XMM bool Dispatcher::CheckDeadline(WaitBlock& wait) noexcept {
    Wakes woken;
    std::lock_guard<Lock> hold(lock);
    if (!wait.pending) {
        return false;
    }
    if (wait.deadline.HasPassed()) {
        Finish(wait, STATUS_TIMEOUT, nullptr);
    } else {
        AdvanceIfIdle(woken);
    }
    return true;
}

__attribute__((always_inline)) HOST_KEEPS_XMM inline NTSTATUS
Dispatcher::Sleep(WaitBlock& wait) noexcept {
    bool timed = Timed(wait.deadline);
    for (;;) {
        bool released = false;
        if (!timed) {
            released = Doze(wait, CLOCK_MONOTONIC, LLONG_MAX);
        } else if (time.IsVirtual()) {
            released = DozeVirtual(wait);
        } else if (wait.deadline.kind == Deadline::Kind::Relative) {
            released = Doze(wait, CLOCK_MONOTONIC, wait.deadline.end);
        } else {
            // Absolute ends follow the wall clock, also when it is set during the wait.
            released = Doze(wait, CLOCK_REALTIME, wait.deadline.end - SystemTimeOfUnixEpoch);
        }
        if (released) {
            return wait.status;
        }
        if (timed && !CheckDeadline(wait)) {
            timed = false; // released already: the release is on its way
        }
        // Otherwise a spurious wake-up, a deadline not reached yet, or a time-out the sleep
        // below finds published.
    }
}

HOST_KEEPS_XMM void Dispatcher::AdvanceIfIdle(Wakes& woken) noexcept {
    if (!time.IsVirtual() || timedWaits.Flink == &timedWaits ||
        !time.EveryThreadBlocked(blockedThreads)) {
        return;
    }
    LONGLONG nearest = LLONG_MAX;
    for (LIST_ENTRY* entry = timedWaits.Flink; entry != &timedWaits; entry = entry->Flink) {
        nearest = std::min(nearest, WaitOfTimerEntry(entry)->deadline.Remaining());
    }
    time.Advance(nearest);
    for (LIST_ENTRY* entry = timedWaits.Flink; entry != &timedWaits;) {
        WaitBlock* wait = WaitOfTimerEntry(entry);
        entry = entry->Flink;
        if (wait->deadline.HasPassed()) {
            Finish(*wait, STATUS_TIMEOUT, &woken);
        }
    }
}

} // namespace host
