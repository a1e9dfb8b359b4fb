// The machine-wide dispatcher lock, acquisition rules of each object kind, and blocking waits.
// Waiters are satisfied by the thread that signals the object, as Windows does, so a pulse
// (set then reset) still releases everyone who was waiting at the set.
#include "Dispatcher.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <sstream>
#include <type_traits>

#include "BugCheck.h"
#include "Irql.h"

namespace host {

namespace {

constexpr UCHAR EventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr UCHAR MutexSize = sizeof(KMUTEX) / sizeof(LONG);
constexpr LONG MutexLimit = -0x7FFFFFFF - 1;
constexpr NTSTATUS StatusMutantLimitExceeded = static_cast<NTSTATUS>(0xC0000191L);

// On a virtual clock a timed waiter looks again this often (100 ns units): a thread that held
// the clock may have ended without entering the host again, and nobody else would notice.
constexpr LONGLONG VirtualSlice = 10000; // 1 ms

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

void InitializeList(LIST_ENTRY* head) {
    head->Flink = head;
    head->Blink = head;
}

void InsertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

void Unlink(LIST_ENTRY* entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    InitializeList(entry);
}

static_assert(std::is_standard_layout_v<WaitBlock>,
              "wait blocks are found from their list entries");

WaitBlock* WaitOfObjectEntry(LIST_ENTRY* entry) {
    return reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(entry) -
                                        offsetof(WaitBlock, objectEntry));
}

WaitBlock* WaitOfTimerEntry(LIST_ENTRY* entry) {
    return reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(entry) -
                                        offsetof(WaitBlock, timerEntry));
}

bool Timed(const Deadline& deadline) {
    return deadline.kind == Deadline::Kind::Relative || deadline.kind == Deadline::Kind::Absolute;
}

timespec ToTimespec(LONGLONG units) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(units / 10000000);
    value.tv_nsec = static_cast<long>(units % 10000000) * 100;
    return value;
}

// Sleeps while *word still reads expected, until woken or the OS clock reaches end (100 ns
// units on clock; LLONG_MAX: no end). Returns at once if the word has already changed.
void FutexSleep(std::atomic<std::uint32_t>* word, std::uint32_t expected, clockid_t clock,
                LONGLONG end) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
                  "a futex word is 32 bits");
    int operation = FUTEX_WAIT_BITSET_PRIVATE;
    timespec deadline{};
    timespec* until = nullptr;
    if (end != LLONG_MAX) {
        deadline = ToTimespec(end);
        until = &deadline;
        if (clock == CLOCK_REALTIME) {
            operation |= FUTEX_CLOCK_REALTIME;
        }
    }
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, expected, until, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

LONGLONG ReadOsClock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<LONGLONG>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

} // namespace

void Wakes::Add(std::atomic<std::uint32_t>* word) {
    if (count < Inline) {
        words[count++] = word;
    } else {
        more.push_back(word);
    }
}

void Wakes::WakeAll() {
    for (std::size_t index = 0; index < count; index++) {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(words[index]), FUTEX_WAKE_PRIVATE, 1,
                nullptr, nullptr, 0);
    }
    for (std::atomic<std::uint32_t>* word : more) {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
                nullptr, 0);
    }
    count = 0;
    more.clear();
}

Dispatcher::Dispatcher() : time(Machine::Current().Time()) {
    InitializeList(&timedWaits);
}

Dispatcher::~Dispatcher() = default;

std::size_t Dispatcher::WaitersOn(const void* object) {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<std::size_t>(
        std::count_if(threads.begin(), threads.end(), [object](const auto& thread) {
            return thread->wait.pending && thread->wait.object == object;
        }));
}

PKTHREAD Dispatcher::AddThread(std::string name, bool isSystemThread, KPRIORITY priority,
                               pid_t osThread) {
    auto thread = std::make_unique<_KTHREAD>();
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeList(&thread->Header.WaitListHead);
    thread->name = std::move(name);
    thread->isSystemThread = isSystemThread;
    thread->priority = priority;
    thread->wait.thread = thread.get();
    InitializeList(&thread->wait.objectEntry);
    InitializeList(&thread->wait.timerEntry);
    threads.push_back(std::move(thread));
    PKTHREAD added = threads.back().get();
    if (osThread != 0) {
        BindOsThread(added, osThread);
    }
    return added;
}

void Dispatcher::BindOsThread(PKTHREAD thread, pid_t osThread) {
    thread->osThread = osThread;
    thread->foreign = time.IsForeign(osThread);
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

void Dispatcher::RequireNoWaiters(const DISPATCHER_HEADER* object, const char* what) const {
    for (const auto& thread : threads) {
        if (thread->wait.pending && thread->wait.object == object) {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(object), 0,
                     0,
                     std::string(what) + " on " + Address(object) + ", which thread '" +
                         thread->name + "' is waiting on");
        }
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

void Dispatcher::Signalled(DISPATCHER_HEADER* object, Wakes& woken) {
    LIST_ENTRY* head = &object->WaitListHead;
    for (LIST_ENTRY* entry = head->Flink; entry != head && object->SignalState > 0;) {
        WaitBlock* wait = WaitOfObjectEntry(entry);
        entry = entry->Flink;
        if (TryAcquire(object, wait->thread)) {
            Finish(*wait, STATUS_SUCCESS, &woken);
        }
    }
}

void Dispatcher::Finish(WaitBlock& wait, NTSTATUS status, Wakes* woken) {
    if (wait.object != nullptr) {
        Unlink(&wait.objectEntry);
    }
    if (Timed(wait.deadline)) {
        Unlink(&wait.timerEntry);
    }
    if (wait.counted) {
        blockedThreads--;
    }
    wait.pending = false;
    wait.status = status;
    if (wait.word.exchange(WaitBlock::Released, std::memory_order_acq_rel) == WaitBlock::Asleep &&
        woken != nullptr) {
        woken->Add(&wait.word);
    }
}

NTSTATUS Dispatcher::Block(std::unique_lock<std::mutex>& hold, DISPATCHER_HEADER* object,
                           PKTHREAD thread, const Deadline& deadline) {
    WaitBlock& wait = thread->wait;
    wait.object = object;
    wait.deadline = deadline;
    wait.status = STATUS_PENDING;
    wait.pending = true;
    wait.word.store(WaitBlock::Waiting, std::memory_order_relaxed);
    if (object != nullptr) {
        InsertTail(&object->WaitListHead, &wait.objectEntry);
    }
    if (Timed(deadline)) {
        InsertTail(&timedWaits, &wait.timerEntry);
    }
    wait.counted = time.IsVirtual() && !thread->foreign;
    if (wait.counted) {
        blockedThreads++;
    }
    {
        Wakes woken;
        // This thread may have been the last one running.
        AdvanceIfIdle(woken);
        hold.unlock();
    }
    return Sleep(hold, wait);
}

NTSTATUS Dispatcher::Sleep(std::unique_lock<std::mutex>& hold, WaitBlock& wait) {
    const bool timed = Timed(wait.deadline);
    for (;;) {
        std::uint32_t seen = WaitBlock::Waiting;
        if (!wait.word.compare_exchange_strong(seen, WaitBlock::Asleep,
                                               std::memory_order_acquire) &&
            seen == WaitBlock::Released) {
            return wait.status;
        }
        if (!timed) {
            FutexSleep(&wait.word, WaitBlock::Asleep, CLOCK_MONOTONIC, LLONG_MAX);
        } else if (time.IsVirtual()) {
            // Virtual time may jump under the sleeper: look again within a slice.
            const LONGLONG remaining = std::max<LONGLONG>(0, wait.deadline.Remaining());
            FutexSleep(&wait.word, WaitBlock::Asleep, CLOCK_MONOTONIC,
                       ReadOsClock(CLOCK_MONOTONIC) + std::min(remaining, VirtualSlice));
        } else if (wait.deadline.kind == Deadline::Kind::Relative) {
            FutexSleep(&wait.word, WaitBlock::Asleep, CLOCK_MONOTONIC, wait.deadline.end);
        } else {
            // Absolute ends follow the wall clock, also when it is set during the wait.
            FutexSleep(&wait.word, WaitBlock::Asleep, CLOCK_REALTIME,
                       wait.deadline.end - SystemTimeOfUnixEpoch);
        }
        // Awake again: a release from now on needs no futex wake.
        seen = WaitBlock::Asleep;
        if (!wait.word.compare_exchange_strong(seen, WaitBlock::Waiting,
                                               std::memory_order_acquire) &&
            seen == WaitBlock::Released) {
            return wait.status;
        }
        if (!timed) {
            continue; // a spurious wake-up
        }
        Wakes woken;
        hold.lock();
        if (wait.word.load(std::memory_order_acquire) != WaitBlock::Released) {
            if (wait.deadline.HasPassed()) {
                Finish(wait, STATUS_TIMEOUT, nullptr);
            } else {
                AdvanceIfIdle(woken);
            }
        }
        hold.unlock();
    }
}

void Dispatcher::AdvanceIfIdle(Wakes& woken) {
    if (!time.IsVirtual() || timedWaits.Flink == &timedWaits ||
        !time.EveryThreadBlocked(blockedThreads)) {
        return;
    }
    LONGLONG nearest = LLONG_MAX;
    for (LIST_ENTRY* entry = timedWaits.Flink; entry != &timedWaits; entry = entry->Flink) {
        nearest = std::min(nearest, WaitOfTimerEntry(entry)->deadline.Remaining());
    }
    time.Advance(nearest);
    for (LIST_ENTRY* entry = timedWaits.Flink; entry != &timedWaits;) {
        WaitBlock* wait = WaitOfTimerEntry(entry);
        entry = entry->Flink;
        if (wait->deadline.HasPassed()) {
            Finish(*wait, STATUS_TIMEOUT, &woken);
        }
    }
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
        if (thread->wait.pending) {
            problems.push_back("thread '" + thread->name + "' is still " +
                               (thread->wait.object != nullptr
                                    ? "waiting on the object at " + Address(thread->wait.object)
                                    : std::string("in a delay")));
        }
    }
}

} // namespace host
