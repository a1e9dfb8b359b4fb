// KeWaitForSingleObject and KeDelayExecutionThread. A wait that may block is refused above
// APC_LEVEL; a poll (zero time-out) is allowed up to DISPATCH_LEVEL.
#include <mutex>
#include <string>
#include <thread>

#include "BugCheck.h"
#include "Dispatcher.h"
#include "Irql.h"
#include "Timeout.h"

using host::Deadline;
using host::Dispatcher;

namespace {

// Checked against the IRQL of the wait itself, which after a Wait = TRUE call is the level the
// thread had before that call, not the DISPATCH_LEVEL it holds in between.
[[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM void RefuseWaitIrql(KIRQL irql, KIRQL maximum,
                                                                          const char* what) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, 0, irql, maximum, 0,
                   std::string(what) + " called at IRQL " + std::to_string(irql) +
                       ", above its maximum " + std::to_string(maximum));
}

inline void RequireWaitIrql(KIRQL irql, KIRQL maximum, const char* what) {
    if (__builtin_expect(irql > maximum, 0)) {
        RefuseWaitIrql(irql, maximum, what);
    }
}

} // namespace

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
    // The host has no APCs, so an alertable wait is never alerted; reason and mode change
    // nothing else.
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    PKTHREAD thread = host::CurrentThread();
    Dispatcher& dispatcher = *thread->dispatcher;
    // The clock is read only for a wait that blocks: most waits have no time-out (a worker's,
    // a mutex's) or find their object signalled.
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    auto* object = static_cast<DISPATCHER_HEADER*>(Object);
    dispatcher.lock.lock();
    if (poll) {
        RequireWaitIrql(Dispatcher::BeginWait(thread), DISPATCH_LEVEL,
                        "KeWaitForSingleObject with a zero time-out");
    } else {
        RequireWaitIrql(Dispatcher::BeginWait(thread), APC_LEVEL,
                        "KeWaitForSingleObject that may block");
    }
    dispatcher.RequireWaitable(object, "KeWaitForSingleObject");
    if (Dispatcher::TryAcquire(object, thread)) {
        dispatcher.lock.unlock();
        return STATUS_SUCCESS;
    }
    if (poll) {
        dispatcher.lock.unlock();
        return STATUS_TIMEOUT;
    }
    Deadline deadline;
    if (Timeout != nullptr) {
        deadline = host::DeadlineFromTimeout(Timeout);
    }
    return dispatcher.Block(object, thread, deadline);
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    PKTHREAD thread = host::CurrentThread();
    Dispatcher& dispatcher = Dispatcher::Current();
    std::unique_lock<host::Lock> hold(dispatcher.lock);
    RequireWaitIrql(Dispatcher::BeginWait(thread), APC_LEVEL, "KeDelayExecutionThread");
    if (Interval == nullptr) {
        host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0,
                       0, 0, "KeDelayExecutionThread without an interval");
    }
    Deadline deadline = host::DeadlineFromTimeout(Interval);
    switch (deadline.kind) {
    case Deadline::Kind::Forever:
        // Centuries away: as good as never, and the host cannot represent it; refuse rather
        // than hang the test silently.
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0,
                       "KeDelayExecutionThread for an interval of centuries");
    case Deadline::Kind::Now:
        hold.unlock();
        std::this_thread::yield();
        return STATUS_SUCCESS;
    case Deadline::Kind::Relative:
    case Deadline::Kind::Absolute:
        break;
    }
    // A delay is a wait on nothing, so that it ends on the machine's clock like any time-out.
    hold.release(); // Block releases the lock
    dispatcher.Block(nullptr, thread, deadline);
    return STATUS_SUCCESS;
}
