// Notification and synchronization events. Their state lives in the caller's KEVENT; the
// dispatcher lock guards it and satisfies waiters when an event is set, who are woken once the
// lock is released.
#include <mutex>

#include "BugCheck.h"
#include "Dispatcher.h"
#include "Irql.h"

using host::Dispatcher;

namespace {
// Header is the first member; a cast keeps a null event a null header for the refusal message.
DISPATCHER_HEADER* HeaderOf(PRKEVENT event) {
    return reinterpret_cast<DISPATCHER_HEADER*>(event);
}
} // namespace

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Event == nullptr || (Type != NotificationEvent && Type != SynchronizationEvent)) {
        host::BugCheck(
            DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(Event), Type, 0,
            "KeInitializeEvent without an event or with an event type that does not exist");
    }
    Dispatcher& dispatcher = Dispatcher::Current();
    std::lock_guard<host::Lock> hold(dispatcher.lock);
    dispatcher.RequireNoWaiters(HeaderOf(Event), "KeInitializeEvent");
    Event->Header.Type = static_cast<UCHAR>(EventNotificationObject + Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment; // a priority boost for the woken threads; the host scheduler has none
    // A following wait must be allowed to block, so Wait = TRUE is only for waitable levels.
    if (Wait) {
        host::RequireIrqlAtMost(APC_LEVEL, "KeSetEvent(Wait = TRUE)");
    } else {
        host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    }
    PKTHREAD thread = host::CurrentThread();
    Dispatcher& dispatcher = *thread->dispatcher;
    host::Wakes woken;
    std::lock_guard<host::Lock> hold(dispatcher.lock);
    Dispatcher::RequireEvent(HeaderOf(Event), "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    if (previous == 0) {
        Event->Header.SignalState = 1;
        if (Event->Header.WaitListHead.Flink != &Event->Header.WaitListHead) {
            dispatcher.Signalled(&Event->Header, woken);
        }
    }
    if (Wait) {
        Dispatcher::HoldForFollowingWait(thread);
    }
    return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<host::Lock> hold(Dispatcher::Current().lock);
    Dispatcher::RequireEvent(HeaderOf(Event), "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    std::lock_guard<host::Lock> hold(Dispatcher::Current().lock);
    Dispatcher::RequireEvent(HeaderOf(Event), "KeClearEvent");
    Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent");
    std::lock_guard<host::Lock> hold(Dispatcher::Current().lock);
    Dispatcher::RequireEvent(HeaderOf(Event), "KeReadStateEvent");
    return Event->Header.SignalState;
}
