// The driver's locks: a spin lock and a kernel mutex wrapper, and the two recursive locks that
// every driver object embeds. RecursiveSpinLock raises to DISPATCH_LEVEL on the outermost Lock;
// RecursiveMutex blocks and is taken at PASSIVE_LEVEL or APC_LEVEL only.
#pragma once
#include "platform/KernelHeaders.h"

class SpinLock {
public:
    SpinLock();
    VOID Acquire();
    VOID Release();

private:
    KSPIN_LOCK lock;
    KIRQL oldIrql;
};

// Holds a spin lock for the rest of its scope. For short sections that never re-enter their
// lock: they skip the owner bookkeeping of the recursive locks.
class SpinLockHolder {
public:
    explicit SpinLockHolder(SpinLock& held) : lock(held) { lock.Acquire(); }
    ~SpinLockHolder() { lock.Release(); }
    SpinLockHolder(const SpinLockHolder&) = delete;
    SpinLockHolder& operator=(const SpinLockHolder&) = delete;

private:
    SpinLock& lock;
};

// Abstract base of waitable kernel-object wrappers.
class DispatcherObject {
public:
    virtual ~DispatcherObject() {}
    // The wrapped kernel dispatcher object.
    virtual PVOID GetObject() = 0;
};

class Mutex : public DispatcherObject {
public:
    Mutex();
    PVOID GetObject() override;
    // timeout: a KeWaitForSingleObject time-out, or null for none. True when acquired.
    bool Wait(PLARGE_INTEGER timeout);
    VOID Release();

private:
    KMUTEX mutex;
};

// Abstract base of the driver's locks: re-entrant for the owning thread.
class RecursiveLock {
public:
    RecursiveLock();
    virtual ~RecursiveLock() {}
    virtual VOID Acquire() = 0;
    virtual VOID Release() = 0;
    VOID Lock();
    VOID Unlock();

protected:
    ULONG recursion;
    PKTHREAD owner;
};

class RecursiveMutex : public RecursiveLock {
public:
    VOID Acquire() override;
    VOID Release() override;

private:
    Mutex mutex;
};

class RecursiveSpinLock : public RecursiveLock {
public:
    VOID Acquire() override;
    VOID Release() override;

private:
    SpinLock spin;
};

// Holds a recursive lock for the rest of its scope, so that a function can return from
// anywhere inside it and the lock is still released exactly once.
class LockHolder {
public:
    explicit LockHolder(RecursiveLock& held) : lock(held) { lock.Lock(); }
    ~LockHolder() { lock.Unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    RecursiveLock& lock;
};
