// Thread objects and KeGetCurrentThread. Each OS thread caches its object per machine, keyed by
// the machine's generation, so a thread that outlives one test's machine gets a new object in
// the next.
#include "Thread.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "Dispatcher.h"
#include "ProcessorBlock.h"

namespace host {

__thread CurrentThreadCache currentThread = {0, nullptr};

namespace {

[[noreturn]] void HostMisuse(const char* message) {
    std::fprintf(stderr, "host: %s\n", message);
    std::abort();
}

} // namespace

HOST_KEEPS_XMM PKTHREAD FirstEntry(Machine& machine) {
    Dispatcher& dispatcher = machine.Get<Dispatcher>();
    std::lock_guard<Lock> hold(dispatcher.lock);
    const pid_t self = gettid();
    currentThread.thread =
        dispatcher.AddThread("thread " + std::to_string(self), false, DefaultThreadPriority, self);
    currentThread.machine = machine.generation;
    SetProcessorBlockThread(currentThread.thread);
    return currentThread.thread;
}

PKTHREAD CreateSystemThreadObject(std::string name, KPRIORITY priority) {
    Dispatcher& dispatcher = Dispatcher::Current();
    std::lock_guard<Lock> hold(dispatcher.lock);
    return dispatcher.AddThread(std::move(name), true, priority, 0);
}

void AdoptThreadObject(PKTHREAD thread) {
    Machine& machine = Machine::Current();
    Dispatcher& dispatcher = machine.Get<Dispatcher>();
    if (currentThread.machine == machine.generation) {
        HostMisuse("AdoptThreadObject on a thread that already has a thread object");
    }
    {
        std::lock_guard<Lock> hold(dispatcher.lock);
        dispatcher.BindOsThread(thread, gettid());
    }
    currentThread.thread = thread;
    currentThread.machine = machine.generation;
    SetProcessorBlockThread(thread);
}

void MarkThreadTerminated(PKTHREAD thread) {
    Dispatcher& dispatcher = Dispatcher::Current();
    Wakes woken;
    std::lock_guard<Lock> hold(dispatcher.lock);
    if (thread->Header.SignalState != 0) {
        HostMisuse("MarkThreadTerminated on a thread that has already terminated");
    }
    thread->Header.SignalState = 1;
    dispatcher.Signalled(&thread->Header, woken);
}

KPRIORITY ThreadPriority(PKTHREAD thread) {
    std::lock_guard<Lock> hold(Dispatcher::Current().lock);
    return thread->priority;
}

void SetThreadPriority(PKTHREAD thread, KPRIORITY priority) {
    std::lock_guard<Lock> hold(Dispatcher::Current().lock);
    thread->priority = priority;
}

bool IsSystemThread(PKTHREAD thread) {
    // Fixed at creation, so no lock.
    return thread->isSystemThread;
}

const std::string& ThreadName(PKTHREAD thread) {
    return thread->name;
}

} // namespace host

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    return host::CurrentThread();
}
