// The dispatcher: one machine-wide lock over the state of every event, mutex and thread object
// and the waits on them. A wait is decided under the lock and its thread woken after the lock
// is released, so that a woken thread (the driver's real-time worker, which preempts its
// waker at once) never runs into the lock its waker still holds.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Futex.h"
#include "Irql.h"
#include "Lock.h"
#include "Machine.h"
#include "Thread.h"
#include "Timeout.h"
#include "WaitLists.h"

namespace host {

// The waits a dispatcher call ended, released to their threads when it is destroyed. Declared
// before the lock holder, it outlives the hold, so no waiter returns, and perhaps frees the
// object it waited on, while its waker still holds the lock and may touch that object; and a
// woken thread never runs into the lock its waker still holds.
class Wakes {
public:
    Wakes() = default;
    ~Wakes() {
        if (first != nullptr) {
            WakeAll();
        }
    }
    Wakes(const Wakes&) = delete;
    Wakes& operator=(const Wakes&) = delete;

    // Chains wait through its own block: a released wait's block is not used again before its
    // thread has been woken.
    void Add(WaitBlock* wait) {
        wait->nextWake = first;
        first = wait;
    }
    // Inline in every waker: a set or release that ends a wait makes one of these per call.
    void WakeAll() noexcept {
        for (WaitBlock* wait = first; wait != nullptr;) {
            // Read before the release: from then on the waiter may wait again with this block.
            WaitBlock* next = wait->nextWake;
            if (wait->word.exchange(WaitBlock::Released, std::memory_order_acq_rel) ==
                WaitBlock::Asleep) {
                FutexWake(&wait->word, 1);
            }
            wait = next;
        }
        first = nullptr;
    }

private:
    WaitBlock* first = nullptr;
};

class Dispatcher : public Subsystem {
public:
    Dispatcher();
    ~Dispatcher() override;

    // The current machine's dispatcher.
    static Dispatcher& Current() { return Machine::Current().Get<Dispatcher>(); }

    void Verify(std::vector<std::string>& problems) override;

    // How many threads are blocked on object now (takes the lock). Lets tests and the host
    // sequence threads on "is blocked" instead of on sleeps.
    std::size_t WaitersOn(const void* object);

    // Guards dispatcher object state (kept in the objects' own bytes), the thread objects' fields
    // and the waits. Every member function below expects it to be held.
    Lock lock;

    // osThread: the OS thread behind it, 0 for a system thread that has not started.
    PKTHREAD AddThread(std::string name, bool isSystemThread, KPRIORITY priority, pid_t osThread);
    void BindOsThread(PKTHREAD thread, pid_t osThread);

    // Stop the test (bug check) unless object is an initialised object of the kind named; what
    // names the refused call.
    void RequireWaitable(const DISPATCHER_HEADER* object, const char* what) const {
        if (object == nullptr || (!IsEvent(object) && !IsMutex(object))) {
            RequireThread(object, what);
        }
    }
    static void RequireEvent(const DISPATCHER_HEADER* object, const char* what) {
        if (__builtin_expect(object == nullptr || !IsEvent(object), 0)) {
            RefuseObject(object, what, "event");
        }
    }
    static void RequireMutex(const DISPATCHER_HEADER* object, const char* what) {
        if (__builtin_expect(object == nullptr || !IsMutex(object), 0)) {
            RefuseObject(object, what, "mutex");
        }
    }
    // Stop the test unless no thread waits on object: initialising it again would cut their
    // wait blocks out of its wait list, and they would never wake.
    void RequireNoWaiters(const DISPATCHER_HEADER* object, const char* what) const;

    // Takes object for thread if it is signalled for it: consumes a synchronization event,
    // acquires (or re-enters) a mutex. Returns whether it did.
    static bool TryAcquire(DISPATCHER_HEADER* object, PKTHREAD thread) {
        switch (object->Type) {
        case EventNotificationObject:
        case ThreadObject:
            return object->SignalState > 0;
        case EventSynchronizationObject:
            if (object->SignalState <= 0) {
                return false;
            }
            object->SignalState = 0;
            return true;
        case MutantObject:
            return TryAcquireMutex(reinterpret_cast<PRKMUTEX>(object), thread);
        default:
            return false;
        }
    }
    static bool TryAcquireMutex(PRKMUTEX mutex, PKTHREAD thread) {
        LONG& state = mutex->Header.SignalState;
        if (state <= 0 && mutex->OwnerThread != thread) {
            return false;
        }
        if (__builtin_expect(state == MutexLimit, 0)) {
            RefuseMutexRecursion(mutex);
        }
        if (--state == 0) {
            mutex->OwnerThread = thread;
            NoteOwned(thread, mutex);
        }
        return true;
    }
    // Counts the mutex among those thread owns (once, however deep its recursion).
    static void NoteOwned(PKTHREAD thread, PRKMUTEX mutex) {
        if (!thread->ownedMutexes.Contains(mutex)) { // else initialised again while owned
            thread->ownedMutexes.Add(mutex);
        }
    }
    static void NoteReleased(PKTHREAD thread, PRKMUTEX mutex) {
        thread->ownedMutexes.Remove(mutex);
    }

    // After object became signalled: satisfies its waiters in arrival order for as long as it
    // stays signalled for the next one; woken gets the threads to wake.
    HOST_KEEPS_XMM void Signalled(DISPATCHER_HEADER* object, Wakes& woken) noexcept {
        LIST_ENTRY* head = &object->WaitListHead;
        for (LIST_ENTRY* entry = head->Flink; entry != head && object->SignalState > 0;) {
            WaitBlock* wait = WaitOfObjectEntry(entry);
            entry = entry->Flink;
            if (TryAcquire(object, wait->thread)) {
                Finish(*wait, STATUS_SUCCESS, &woken);
            }
        }
    }

    // Blocks thread until object (null: nothing, a delay) is acquired for it (STATUS_SUCCESS)
    // or the deadline passes (STATUS_TIMEOUT). Called with lock held; returns with it released.
    // The lock is taken and released directly rather than through a standard lock holder, whose
    // misuse checks call into the C++ library and would cost every wait the register saves
    // KeepsXmm.h describes.
    HOST_KEEPS_XMM NTSTATUS Block(DISPATCHER_HEADER* object, PKTHREAD thread,
                                  const Deadline& deadline) noexcept;

    // Windows's "wait follows" contract of KeSetEvent/KeReleaseMutex(Wait = TRUE): raise the
    // thread to DISPATCH_LEVEL until its next wait.
    HOST_KEEPS_XMM static void HoldForFollowingWait(PKTHREAD thread);

    // At the start of a wait: the IRQL the wait is made at, which is the one saved by a
    // preceding Wait = TRUE call (restored now) or else the current one.
    static KIRQL BeginWait(PKTHREAD thread) {
        if (__builtin_expect(!thread->waitFollows, 1)) {
            return CurrentIrql();
        }
        thread->waitFollows = false;
        SetCurrentIrql(thread->waitIrql);
        return thread->waitIrql;
    }

private:
    static constexpr UCHAR EventSize = sizeof(KEVENT) / sizeof(LONG);
    static constexpr UCHAR MutexSize = sizeof(KMUTEX) / sizeof(LONG);
    static constexpr LONG MutexLimit = -0x7FFFFFFF - 1;

    static bool IsEvent(const DISPATCHER_HEADER* object) {
        return (object->Type == EventNotificationObject ||
                object->Type == EventSynchronizationObject) &&
               object->Size == EventSize;
    }
    static bool IsMutex(const DISPATCHER_HEADER* object) {
        return object->Type == MutantObject && object->Size == MutexSize;
    }
    // The rest of RequireWaitable: a thread object of this machine, by identity.
    HOST_KEEPS_XMM void RequireThread(const DISPATCHER_HEADER* object, const char* what) const;
    [[noreturn, gnu::cold]] HOST_KEEPS_XMM static void
    RefuseObject(const DISPATCHER_HEADER* object, const char* what, const char* expected);
    [[noreturn, gnu::cold]] HOST_KEEPS_XMM static void RefuseMutexRecursion(PRKMUTEX mutex);

    // Sleeps until wait is released (its status) or times out; lock is not held.
    // Sleep and Doze are inline in Block, Finish and Signalled in their callers: every blocking
    // wait and every wake-up passes through them, and each call of its own would save and
    // restore the registers the Windows convention keeps.
    HOST_KEEPS_XMM inline NTSTATUS Sleep(WaitBlock& wait) noexcept;
    // One sleep of a wait on the virtual clock, at most a slice long; whether it was released.
    HOST_KEEPS_XMM bool DozeVirtual(WaitBlock& wait) noexcept;
    // After a timed sleep ended unreleased: ends the wait if its deadline has passed, or moves
    // the virtual clock on. False once the wait was released meanwhile (its release is on the
    // way and the sleeper only has to wait for it).
    HOST_KEEPS_XMM bool CheckDeadline(WaitBlock& wait) noexcept;
    // One sleep on the wait's futex word until it is released or the OS clock reaches end
    // (LLONG_MAX: no end); whether it was released.
    HOST_KEEPS_XMM static inline bool Doze(WaitBlock& wait, clockid_t clock, LONGLONG end) noexcept;
    // Ends wait with status under the lock. Its release is published through woken after the
    // lock is released, or at once when woken is null (the waiter ends its own wait).
    HOST_KEEPS_XMM void Finish(WaitBlock& wait, NTSTATUS status, Wakes* woken) noexcept {
        if (wait.object != nullptr) {
            Unlink(&wait.objectEntry);
        }
        if (Timed(wait.deadline)) {
            Unlink(&wait.timerEntry);
        }
        if (wait.counted) {
            blockedThreads--;
        }
        wait.pending = false;
        wait.status = status;
        if (woken != nullptr) {
            // Published only once the lock is released: until then the signaller may still
            // touch the object, which the waiter is free to delete as soon as its wait returns.
            woken->Add(&wait);
        } else {
            wait.word.store(WaitBlock::Released, std::memory_order_release); // the waiter itself
        }
    }
    // On a virtual clock: when every thread is blocked, moves time to the nearest deadline and
    // times out the waits that end there.
    HOST_KEEPS_XMM void AdvanceIfIdle(Wakes& woken) noexcept;

    Timekeeper& time;
    LIST_ENTRY timedWaits;
    std::size_t blockedThreads = 0;
    std::vector<std::unique_ptr<_KTHREAD>> threads;
};

} // namespace host
