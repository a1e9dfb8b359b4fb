// The dispatcher's threads and objects: thread objects, the checks that an object is what a call
// says, the acquisition rules of each object kind and the verifier's view. Blocking waits are in
// DispatcherWaits.cpp.
#include "Dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "BugCheck.h"
#include "Irql.h"
#include "WaitLists.h"

namespace host {

namespace {

constexpr NTSTATUS StatusMutantLimitExceeded = static_cast<NTSTATUS>(0xC0000191L);

std::string Address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

} // namespace

HOST_KEEPS_XMM void Dispatcher::RefuseObject(const DISPATCHER_HEADER* object, const char* what,
                                             const char* expected) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(object),
             object == nullptr ? 0 : object->Type, 0,
             std::string(what) + " on " + Address(object) + ", which is not an initialised " +
                 expected);
}

HOST_KEEPS_XMM void Dispatcher::RefuseMutexRecursion(PRKMUTEX mutex) {
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(StatusMutantLimitExceeded),
             reinterpret_cast<ULONG_PTR>(mutex), 0, 0,
             "mutex " + Address(mutex) + " acquired recursively beyond its limit");
}

Dispatcher::Dispatcher() : time(Machine::Current().Time()) {
    InitializeList(&timedWaits);
}

Dispatcher::~Dispatcher() = default;

std::size_t Dispatcher::WaitersOn(const void* object) {
    std::lock_guard<Lock> hold(lock);
    return static_cast<std::size_t>(
        std::count_if(threads.begin(), threads.end(), [object](const auto& thread) {
            return thread->wait.pending && thread->wait.object == object;
        }));
}

PKTHREAD Dispatcher::AddThread(std::string name, bool isSystemThread, KPRIORITY priority,
                               pid_t osThread) {
    auto thread = std::make_unique<_KTHREAD>();
    thread->dispatcher = this;
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

HOST_KEEPS_XMM void Dispatcher::RequireThread(const DISPATCHER_HEADER* object,
                                              const char* what) const {
    // A thread object is recognised by identity: its header bytes could be imitated.
    for (const auto& thread : threads) {
        if (&thread->Header == object) {
            return;
        }
    }
    RefuseObject(object, what, "event, mutex or thread");
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

HOST_KEEPS_XMM void OwnedMutexes::AddBeyond(PRKMUTEX mutex) noexcept {
    beyond.push_back(mutex);
}

HOST_KEEPS_XMM void Dispatcher::HoldForFollowingWait(PKTHREAD thread) {
    thread->waitFollows = true;
    thread->waitIrql = CurrentIrql();
    SetCurrentIrql(DISPATCH_LEVEL);
}

void Dispatcher::Verify(std::vector<std::string>& problems) {
    std::lock_guard<Lock> hold(lock);
    for (const auto& thread : threads) {
        if (thread->waitFollows) {
            problems.push_back("thread '" + thread->name +
                               "' called KeSetEvent or KeReleaseMutex with Wait = TRUE and "
                               "made no wait after it (still at DISPATCH_LEVEL)");
        }
        for (std::size_t index = 0; index < thread->ownedMutexes.Count(); index++) {
            PRKMUTEX mutex = thread->ownedMutexes.At(index);
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
