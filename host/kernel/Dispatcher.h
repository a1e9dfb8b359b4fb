// The dispatcher: one machine-wide lock over the state of every event, mutex and thread object,
// the threads blocked on them, and the thread objects themselves.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Machine.h"
#include "Thread.h"
#include "Timeout.h"

namespace host {

class Dispatcher : public Subsystem {
public:
    Dispatcher();
    ~Dispatcher() override;

    // The current machine's dispatcher.
    static Dispatcher& Current();

    void Verify(std::vector<std::string>& problems) override;

    // Tells this machine's dispatcher from every earlier one, for the per-OS-thread cache of
    // the current thread object.
    const std::uint64_t id;

    // How many threads are blocked on object now (takes the lock). Lets tests and the host
    // sequence threads on "is blocked" instead of on sleeps.
    std::size_t WaitersOn(const void* object);

    // Guards dispatcher object state (kept in the objects' own bytes), the thread objects' fields
    // and the wait list. Every member function below expects it to be held.
    std::mutex lock;

    PKTHREAD AddThread(std::string name, bool isSystemThread, KPRIORITY priority);

    // Stop the test (bug check) unless object is an initialised object of the kind named; what
    // names the refused call.
    void RequireWaitable(const DISPATCHER_HEADER* object, const char* what) const;
    static void RequireEvent(const DISPATCHER_HEADER* object, const char* what);
    static void RequireMutex(const DISPATCHER_HEADER* object, const char* what);

    // Takes object for thread if it is signalled for it: consumes a synchronization event,
    // acquires (or re-enters) a mutex. Returns whether it did.
    bool TryAcquire(DISPATCHER_HEADER* object, PKTHREAD thread);

    // After object became signalled: satisfies its waiters in arrival order for as long as it
    // stays signalled for the next one.
    void Signalled(DISPATCHER_HEADER* object);

    // Blocks thread until object is acquired for it (STATUS_SUCCESS) or the deadline passes
    // (STATUS_TIMEOUT). hold must own lock; it is released while the thread sleeps.
    NTSTATUS Block(std::unique_lock<std::mutex>& hold, DISPATCHER_HEADER* object, PKTHREAD thread,
                   const Deadline& deadline);

    // Windows's "wait follows" contract of KeSetEvent/KeReleaseMutex(Wait = TRUE): raise the
    // thread to DISPATCH_LEVEL until its next wait.
    static void HoldForFollowingWait(PKTHREAD thread);

    // At the start of a wait: the IRQL the wait is made at, which is the one saved by a
    // preceding Wait = TRUE call (restored now) or else the current one.
    static KIRQL BeginWait(PKTHREAD thread);

private:
    struct WaitBlock;
    std::list<WaitBlock*> waiters;
    std::vector<std::unique_ptr<_KTHREAD>> threads;
};

} // namespace host
