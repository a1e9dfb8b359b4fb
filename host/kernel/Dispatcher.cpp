// The machine-wide dispatcher lock, acquisition rules of each object kind, and blocking waits.
// Waiters are satisfied by the thread that signals the object, as Windows does, so a pulse
// (set then reset) still releases everyone who was waiting at the set.
#include "Dispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>

#include "BugCheck.h"
#include "Irql.h"

namespace host {

struct Dispatcher::WaitBlock {
    DISPATCHER_HEADER* object;
    PKTHREAD thread;
    bool satisfied = false;
    std::condition_variable wake;
};

namespace {

std::atomic<std::uint64_t> lastDispatcherId{0};

constexpr UCHAR EventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr UCHAR MutexSize = sizeof(KMUTEX) / sizeof(LONG);
constexpr LONG MutexLimit = -0x7FFFFFFF - 1;
constexpr NTSTATUS StatusMutantLimitExceeded = static_cast<NTSTATUS>(0xC0000191L);

std::string Address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

bool IsEvent(const DISPATCHER_HEADER* object) {
    return (object->Type == EventNotificationObject ||
            object->Type == EventSynchronizationObject) &&
           object->Size == EventSize;
}

bool IsMutex(const DISPATCHER_HEADER* object) {
    return object->Type == MutantObject && object->Size == MutexSize;
}

[[noreturn]] void RefuseObject(const DISPATCHER_HEADER* object, const char* what,
                               const char* expected) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(object),
             object == nullptr ? 0 : object->Type, 0,
             std::string(what) + " on " + Address(object) + ", which is not an initialised " +
                 expected);
}

PRKMUTEX AsMutex(DISPATCHER_HEADER* object) {
    return reinterpret_cast<PRKMUTEX>(object);
}

} // namespace

Dispatcher::Dispatcher() : id(++lastDispatcherId) {}

Dispatcher::~Dispatcher() = default;

Dispatcher& Dispatcher::Current() {
    return Machine::Current().Get<Dispatcher>();
}

std::size_t Dispatcher::WaitersOn(const void* object) {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<std::size_t>(
        std::count_if(waiters.begin(), waiters.end(),
                      [object](const WaitBlock* block) { return block->object == object; }));
}

PKTHREAD Dispatcher::AddThread(std::string name, bool isSystemThread, KPRIORITY priority) {
    auto thread = std::make_unique<_KTHREAD>();
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    thread->Header.SignalState = 0;
    thread->Header.WaitListHead.Flink = &thread->Header.WaitListHead;
    thread->Header.WaitListHead.Blink = &thread->Header.WaitListHead;
    thread->name = std::move(name);
    thread->isSystemThread = isSystemThread;
    thread->priority = priority;
    threads.push_back(std::move(thread));
    return threads.back().get();
}

void Dispatcher::RequireWaitable(const DISPATCHER_HEADER* object, const char* what) const {
    if (object != nullptr && (IsEvent(object) || IsMutex(object))) {
        return;
    }
    // A thread object is recognised by identity: its header bytes could be imitated.
    for (const auto& thread : threads) {
        if (&thread->Header == object) {
            return;
        }
    }
    RefuseObject(object, what, "event, mutex or thread");
}

void Dispatcher::RequireEvent(const DISPATCHER_HEADER* object, const char* what) {
    if (object == nullptr || !IsEvent(object)) {
        RefuseObject(object, what, "event");
    }
}

void Dispatcher::RequireMutex(const DISPATCHER_HEADER* object, const char* what) {
    if (object == nullptr || !IsMutex(object)) {
        RefuseObject(object, what, "mutex");
    }
}

bool Dispatcher::TryAcquire(DISPATCHER_HEADER* object, PKTHREAD thread) {
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
    case MutantObject: {
        PRKMUTEX mutex = AsMutex(object);
        if (object->SignalState <= 0 && mutex->OwnerThread != thread) {
            return false;
        }
        if (object->SignalState == MutexLimit) {
            BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(StatusMutantLimitExceeded),
                     reinterpret_cast<ULONG_PTR>(object), 0, 0,
                     "mutex " + Address(object) + " acquired recursively beyond its limit");
        }
        if (--object->SignalState == 0) {
            mutex->OwnerThread = thread;
            if (std::find(thread->ownedMutexes.begin(), thread->ownedMutexes.end(), mutex) ==
                thread->ownedMutexes.end()) {
                thread->ownedMutexes.push_back(mutex);
            }
        }
        return true;
    }
    default:
        return false;
    }
}

void Dispatcher::Signalled(DISPATCHER_HEADER* object) {
    for (auto waiter = waiters.begin(); waiter != waiters.end();) {
        WaitBlock* block = *waiter;
        if (block->object != object || !TryAcquire(object, block->thread)) {
            ++waiter;
            continue;
        }
        block->satisfied = true;
        waiter = waiters.erase(waiter);
        // Notified under the lock: the waiter cannot return and free its block before that.
        block->wake.notify_one();
    }
}

NTSTATUS Dispatcher::Block(std::unique_lock<std::mutex>& hold, DISPATCHER_HEADER* object,
                           PKTHREAD thread, const Deadline& deadline) {
    WaitBlock block{object, thread};
    waiters.push_back(&block);
    while (!block.satisfied) {
        bool expired = false;
        switch (deadline.kind) {
        case Deadline::Kind::Forever:
            block.wake.wait(hold);
            break;
        case Deadline::Kind::Now:
            expired = true;
            break;
        case Deadline::Kind::Relative:
            expired = block.wake.wait_until(hold, deadline.relativeEnd) == std::cv_status::timeout;
            break;
        case Deadline::Kind::Absolute:
            expired = block.wake.wait_until(hold, deadline.absoluteEnd) == std::cv_status::timeout;
            break;
        }
        if (expired && !block.satisfied) {
            waiters.remove(&block);
            return STATUS_TIMEOUT;
        }
    }
    return STATUS_SUCCESS;
}

void Dispatcher::HoldForFollowingWait(PKTHREAD thread) {
    thread->waitFollows = true;
    thread->waitIrql = CurrentIrql();
    SetCurrentIrql(DISPATCH_LEVEL);
}

KIRQL Dispatcher::BeginWait(PKTHREAD thread) {
    if (!thread->waitFollows) {
        return CurrentIrql();
    }
    thread->waitFollows = false;
    SetCurrentIrql(thread->waitIrql);
    return thread->waitIrql;
}

void Dispatcher::Verify(std::vector<std::string>& problems) {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& thread : threads) {
        if (thread->waitFollows) {
            problems.push_back("thread '" + thread->name +
                               "' called KeSetEvent or KeReleaseMutex with Wait = TRUE and "
                               "made no wait after it (still at DISPATCH_LEVEL)");
        }
        for (PRKMUTEX mutex : thread->ownedMutexes) {
            problems.push_back("thread '" + thread->name + "' still owns the mutex at " +
                               Address(mutex) +
                               (thread->Header.SignalState > 0 ? " (thread has terminated)" : ""));
        }
    }
    for (const WaitBlock* block : waiters) {
        problems.push_back("thread '" + block->thread->name +
                           "' is still waiting on the object at " + Address(block->object));
    }
}

} // namespace host
