// The spin lock and mutex wrappers, and the re-entrant locking shared by both recursive locks.
#include "Locks.h"

SpinLock::SpinLock() : lock(0), oldIrql(PASSIVE_LEVEL) {}

VOID SpinLock::Acquire() {
    // The IRQL to return to is only known once the lock is ours, so it is stored afterwards.
    oldIrql = KeAcquireSpinLockRaiseToDpc(&lock);
}

VOID SpinLock::Release() {
    KeReleaseSpinLock(&lock, oldIrql);
}

Mutex::Mutex() {
    KeInitializeMutex(&mutex, 0);
}

PVOID Mutex::GetObject() {
    return &mutex;
}

bool Mutex::Wait(PLARGE_INTEGER timeout) {
    NTSTATUS status = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, timeout);
    if (status == STATUS_SUCCESS) {
        return true;
    }
    if (status != STATUS_TIMEOUT) {
        // Correct use of the locks never gets here (no alerts, no APCs, no abandoned mutex).
        if (KD_DEBUGGER_ENABLED) {
            DbgBreakPoint();
        }
    }
    return false;
}

VOID Mutex::Release() {
    KeReleaseMutex(&mutex, FALSE);
}

RecursiveLock::RecursiveLock() : recursion(0), owner(nullptr) {}

VOID RecursiveLock::Lock() {
    PKTHREAD current = KeGetCurrentThread();
    // Only the holder can find itself here, so reading owner without the lock is safe; the
    // read and the writes are interlocked so that other threads never see a torn pointer.
    PVOID holder = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&owner),
                                                     nullptr, nullptr);
    if (holder == current) {
        recursion++;
        return;
    }
    Acquire();
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&owner), current);
    recursion++;
}

VOID RecursiveLock::Unlock() {
    recursion--;
    if (recursion != 0) {
        return;
    }
    // Cleared before the release: once released, the next holder writes owner.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&owner), nullptr);
    Release();
}

VOID RecursiveMutex::Acquire() {
    // Without a time-out the wait only fails on misuse, which Wait reports to a debugger.
    mutex.Wait(nullptr);
}

VOID RecursiveMutex::Release() {
    mutex.Release();
}

VOID RecursiveSpinLock::Acquire() {
    spin.Acquire();
}

VOID RecursiveSpinLock::Release() {
    spin.Release();
}
