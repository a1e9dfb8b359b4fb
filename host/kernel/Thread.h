// Thread objects: the kernel object of every OS thread that enters the host kernel, and the
// host calls that system-thread creation builds on.
#pragma once

#include <string>
#include <vector>

#include <ntddk.h>

// The host's thread object. Drivers see only the pointer. The dispatcher header comes first so
// that a thread can be waited on like an event: it is signalled when the thread terminates.
// Every field is guarded by the dispatcher lock; the object lives as long as its machine, since
// a mutex may still name a thread that has ended as its owner.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    std::string name;
    bool isSystemThread = false;
    KPRIORITY priority = 0;
    // Set by KeSetEvent or KeReleaseMutex with Wait = TRUE: the thread runs at DISPATCH_LEVEL
    // until its next wait, which is checked against and returns at waitIrql.
    bool waitFollows = false;
    KIRQL waitIrql = PASSIVE_LEVEL;
    // Mutexes this thread owns, for the verifier; each appears once however deep its recursion.
    std::vector<PRKMUTEX> ownedMutexes;
};

namespace host {

// The priority a thread starts with, as Windows gives new system threads.
constexpr KPRIORITY DefaultThreadPriority = 8;

// The calling OS thread's object in the current machine, created when it first enters the kernel
// (what KeGetCurrentThread returns).
PKTHREAD CurrentThread();

// A system-thread object for an OS thread about to start. The new thread calls
// AdoptThreadObject before it runs any driver code, so that KeGetCurrentThread returns this
// object; when its routine ends, MarkThreadTerminated signals the object for its waiters.
PKTHREAD CreateSystemThreadObject(std::string name, KPRIORITY priority = DefaultThreadPriority);
void AdoptThreadObject(PKTHREAD thread);
void MarkThreadTerminated(PKTHREAD thread);

// The recorded priority (what KeSetPriorityThread sets and returns the old value of).
KPRIORITY ThreadPriority(PKTHREAD thread);
void SetThreadPriority(PKTHREAD thread, KPRIORITY priority);

bool IsSystemThread(PKTHREAD thread);
const std::string& ThreadName(PKTHREAD thread);

} // namespace host
