// Spin locks. The lock word itself records its owner (a marked per-thread number), because a
// KSPIN_LOCK lives inside driver objects and is never destroyed: there is nowhere else to keep
// the state. Holding raises to DISPATCH_LEVEL; recursion and foreign releases are bug checks.
#include <atomic>
#include <sched.h>
#include <string>

#include <ntddk.h>

#include "BugCheck.h"
#include "Irql.h"
#include "KeepsXmm.h"

namespace host {

namespace {

// Held words carry this mark in their upper half, so a word that is neither 0 nor marked is a
// lock that was never initialised (pool garbage) rather than one held by another thread.
constexpr ULONG_PTR OwnerMark = 0x5350494E00000000ull; // "SPIN"
constexpr ULONG_PTR MarkMask = 0xFFFFFFFF00000000ull;

std::atomic<unsigned> lastThreadNumber{0};

__thread ULONG_PTR ownerWord = 0;

ULONG_PTR CurrentOwnerWord() {
    if (__builtin_expect(ownerWord == 0, 0)) {
        ownerWord = OwnerMark | (lastThreadNumber.fetch_add(1) + 1);
    }
    return ownerWord;
}

// The holder is a real thread that may need this core to get on and release.
__attribute__((noinline)) HOST_KEEPS_XMM void YieldToHolder() {
    sched_yield();
}

std::string Describe(ULONG_PTR word) {
    return word == 0 ? "not held" : "held by thread #" + std::to_string(word & ~MarkMask);
}

[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void
RefuseUninitialised(PKSPIN_LOCK lock, ULONG_PTR word, const char* routine) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(lock), word, 0,
             std::string(routine) + " on a spin lock that was never initialised (its word reads " +
                 std::to_string(word) + ")");
}

[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void RefuseRecursion(PKSPIN_LOCK lock) {
    BugCheck(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0,
             "KeAcquireSpinLockRaiseToDpc on a spin lock this thread already holds");
}

[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void RefuseForeignRelease(PKSPIN_LOCK lock,
                                                                                ULONG_PTR word) {
    BugCheck(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), word, 0, 0,
             "KeReleaseSpinLock on a spin lock that is " + Describe(word) +
                 ", not by the releasing thread");
}

[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void RefuseReleaseIrql(KIRQL current,
                                                                             KIRQL newIrql) {
    if (current < DISPATCH_LEVEL) {
        BugCheck(IRQL_NOT_GREATER_OR_EQUAL, current, DISPATCH_LEVEL, 0, 0,
                 "KeReleaseSpinLock after the IRQL was lowered below DISPATCH_LEVEL under the "
                 "lock");
    }
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, current, newIrql, 0, 0,
             "KeReleaseSpinLock asked to raise the IRQL to " + std::to_string(newIrql));
}

inline void RequireInitialised(PKSPIN_LOCK lock, ULONG_PTR word, const char* routine) {
    if (__builtin_expect(word != 0 && (word & MarkMask) != OwnerMark, 0)) {
        RefuseUninitialised(lock, word, routine);
    }
}

} // namespace

} // namespace host

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
    const ULONG_PTR self = host::CurrentOwnerWord();
    ULONG_PTR word = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    host::RequireInitialised(SpinLock, word, "KeAcquireSpinLockRaiseToDpc");
    if (word == self) {
        host::RefuseRecursion(SpinLock);
    }
    KIRQL old = host::CurrentIrql();
    host::SetCurrentIrql(DISPATCH_LEVEL);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            return old;
        }
        host::RequireInitialised(SpinLock, expected, "KeAcquireSpinLockRaiseToDpc");
        host::YieldToHolder();
    }
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const ULONG_PTR self = host::CurrentOwnerWord();
    ULONG_PTR word = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    host::RequireInitialised(SpinLock, word, "KeReleaseSpinLock");
    if (word != self) {
        host::RefuseForeignRelease(SpinLock, word);
    }
    const KIRQL current = host::CurrentIrql();
    if (current < DISPATCH_LEVEL || NewIrql > current) {
        host::RefuseReleaseIrql(current, NewIrql);
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    host::SetCurrentIrql(NewIrql);
}
