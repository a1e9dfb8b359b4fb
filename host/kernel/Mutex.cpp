// Kernel mutexes: owned by a thread, recursive for their owner. As in Windows, SignalState is 1
// when free and 1 - depth while owned; the owner is kept in the caller's KMUTEX.
#include <mutex>
#include <sstream>

#include "BugCheck.h"
#include "Dispatcher.h"
#include "Irql.h"

using host::Dispatcher;

namespace {
DISPATCHER_HEADER* HeaderOf(PRKMUTEX mutex) {
    return reinterpret_cast<DISPATCHER_HEADER*>(mutex);
}

[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void RefuseRelease(PRKMUTEX mutex,
                                                                         PKTHREAD thread) {
    std::ostringstream explanation;
    explanation << "KeReleaseMutex on the mutex at " << static_cast<void*>(mutex) << " by thread '"
                << thread->name << "', "
                << (mutex->OwnerThread == nullptr
                        ? std::string("which is not owned")
                        : "which is owned by thread '" + mutex->OwnerThread->name + "'");
    host::BugCheck(THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(thread),
                   reinterpret_cast<ULONG_PTR>(mutex), 0, 0, explanation.str());
}
} // namespace

extern "C" VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level; // ignored by Windows too
    if (Mutex == nullptr) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0,
                       "KeInitializeMutex without a mutex");
    }
    Dispatcher& dispatcher = Dispatcher::Current();
    std::lock_guard<host::Lock> hold(dispatcher.lock);
    dispatcher.RequireNoWaiters(HeaderOf(Mutex), "KeInitializeMutex");
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Signalling = 0;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.Reserved1 = 0;
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = &Mutex->Header.WaitListHead;
    Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
    Mutex->MutantListEntry.Flink = nullptr;
    Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    if (Wait) {
        host::RequireIrqlAtMost(APC_LEVEL, "KeReleaseMutex(Wait = TRUE)");
    } else {
        host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    }
    PKTHREAD thread = host::CurrentThread();
    Dispatcher& dispatcher = *thread->dispatcher;
    host::Wakes woken;
    std::lock_guard<host::Lock> hold(dispatcher.lock);
    Dispatcher::RequireMutex(HeaderOf(Mutex), "KeReleaseMutex");
    if (Mutex->OwnerThread != thread) {
        RefuseRelease(Mutex, thread);
    }
    LONG previous = Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        Dispatcher::NoteReleased(thread, Mutex);
        if (Mutex->Header.WaitListHead.Flink != &Mutex->Header.WaitListHead) {
            dispatcher.Signalled(&Mutex->Header, woken);
        }
    }
    if (Wait) {
        Dispatcher::HoldForFollowingWait(thread);
    }
    return previous;
}

extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReadStateMutex");
    std::lock_guard<host::Lock> hold(Dispatcher::Current().lock);
    Dispatcher::RequireMutex(HeaderOf(Mutex), "KeReadStateMutex");
    return Mutex->Header.SignalState;
}
