// Thread objects: the kernel object of every OS thread that enters the host kernel, and the
// host calls that system-thread creation builds on.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Machine.h"
#include "Timeout.h"

namespace host {

class Dispatcher;

// A thread's one wait in progress (the host has no multiple-object waits). It lives in the
// thread object, which lasts as long as the machine, so a signaller may still wake it after
// the waiter has returned: the waiter takes that for the spurious wake-up it is.
struct WaitBlock {
    PKTHREAD thread = nullptr;
    // In the waited object's WaitListHead, as Windows chains its wait blocks.
    LIST_ENTRY objectEntry;
    // In the dispatcher's list of waits with a deadline.
    LIST_ENTRY timerEntry;
    DISPATCHER_HEADER* object = nullptr; // null for a delay
    Deadline deadline;
    // Everything above and below the word is guarded by the dispatcher lock.
    bool pending = false;
    // Whether the wait counts toward the virtual clock's blocked threads.
    bool counted = false;
    // Final once the word reads Released.
    NTSTATUS status = STATUS_PENDING;

    // The futex word the waiter sleeps on.
    enum Word : std::uint32_t { Waiting, Asleep, Released };
    std::atomic<std::uint32_t> word{Waiting};
    // The next release to publish, while this one waits in a waker's list.
    WaitBlock* nextWake = nullptr;
};

// The mutexes a thread owns, for the verifier; each appears once however deep its recursion.
// The first few are kept in place, so that acquiring a mutex allocates nothing and calls nothing
// out of line (see KeepsXmm.h); a thread that owns more keeps the rest in a list.
class OwnedMutexes {
public:
    std::size_t Count() const { return inPlace + beyond.size(); }
    PRKMUTEX At(std::size_t index) const {
        return index < inPlace ? first[index] : beyond[index - inPlace];
    }
    bool Contains(PRKMUTEX mutex) const {
        for (std::size_t index = 0; index < Count(); index++) {
            if (At(index) == mutex) {
                return true;
            }
        }
        return false;
    }
    void Add(PRKMUTEX mutex) {
        if (__builtin_expect(inPlace < InPlace, 1)) {
            first[inPlace++] = mutex;
        } else {
            AddBeyond(mutex);
        }
    }
    void Remove(PRKMUTEX mutex) {
        for (std::size_t index = 0; index < inPlace; index++) {
            if (first[index] == mutex) {
                first[index] = first[--inPlace];
                if (!beyond.empty()) {
                    first[inPlace++] = beyond.back();
                    beyond.pop_back();
                }
                return;
            }
        }
        for (std::size_t index = 0; index < beyond.size(); index++) {
            if (beyond[index] == mutex) {
                beyond[index] = beyond.back();
                beyond.pop_back();
                return;
            }
        }
    }

private:
    static constexpr std::size_t InPlace = 8;
    // Out of line; the host stops if the list cannot grow.
    HOST_KEEPS_XMM void AddBeyond(PRKMUTEX mutex) noexcept;

    PRKMUTEX first[InPlace] = {};
    std::size_t inPlace = 0;
    std::vector<PRKMUTEX> beyond;
};

} // namespace host

// The host's thread object. Drivers see only the pointer. The dispatcher header comes first so
// that a thread can be waited on like an event: it is signalled when the thread terminates.
// Every field is guarded by the dispatcher lock; the object lives as long as its machine, since
// a mutex may still name a thread that has ended as its owner.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    // The dispatcher of the thread's machine, which every dispatcher call of the thread takes.
    host::Dispatcher* dispatcher = nullptr;
    std::string name;
    bool isSystemThread = false;
    KPRIORITY priority = 0;
    // Set by KeSetEvent or KeReleaseMutex with Wait = TRUE: the thread runs at DISPATCH_LEVEL
    // until its next wait, which is checked against and returns at waitIrql.
    bool waitFollows = false;
    KIRQL waitIrql = PASSIVE_LEVEL;
    host::OwnedMutexes ownedMutexes;
    host::WaitBlock wait;
    // The OS thread behind the object (0 for a system thread not started yet), and whether it
    // existed before the machine (such threads never hold the virtual clock).
    pid_t osThread = 0;
    bool foreign = false;
};

namespace host {

// The priority a thread starts with, as Windows gives new system threads.
constexpr KPRIORITY DefaultThreadPriority = 8;

// Each OS thread caches its object per machine, keyed by the machine's generation, so a thread
// that outlives one test's machine gets a new object in the next.
struct CurrentThreadCache {
    std::uint64_t machine; // the generation of the machine the object belongs to
    PKTHREAD thread;
};
extern __thread CurrentThreadCache currentThread;

// The object of the calling OS thread's first entry into machine.
HOST_KEEPS_XMM PKTHREAD FirstEntry(Machine& machine);

// The calling OS thread's object in the current machine, created when it first enters the kernel
// (what KeGetCurrentThread returns).
inline PKTHREAD CurrentThread() {
    Machine& machine = Machine::Current();
    if (__builtin_expect(currentThread.machine == machine.generation, 1)) {
        return currentThread.thread;
    }
    return FirstEntry(machine);
}

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
