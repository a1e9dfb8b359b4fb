// Thread objects and KeGetCurrentThread. Each OS thread caches its object per machine, keyed by
// the dispatcher's id, so a thread that outlives one test's machine gets a new object in the next.
#include "Thread.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "Dispatcher.h"
#include "ProcessorBlock.h"

namespace host {

namespace {

struct CurrentThreadCache {
    std::uint64_t dispatcherId = 0;
    PKTHREAD thread = nullptr;
};

thread_local CurrentThreadCache currentThread;

[[noreturn]] void HostMisuse(const char* message) {
    std::fprintf(stderr, "host: %s\n", message);
    std::abort();
}

} // namespace

PKTHREAD CurrentThread() {
    Dispatcher& dispatcher = Dispatcher::Current();
    if (currentThread.dispatcherId != dispatcher.id) {
        std::lock_guard<std::mutex> hold(dispatcher.lock);
        currentThread.thread = dispatcher.AddThread("thread " + std::to_string(gettid()), false,
                                                    DefaultThreadPriority);
        currentThread.dispatcherId = dispatcher.id;
        SetProcessorBlockThread(currentThread.thread);
    }
    return currentThread.thread;
}

PKTHREAD CreateSystemThreadObject(std::string name, KPRIORITY priority) {
    Dispatcher& dispatcher = Dispatcher::Current();
    std::lock_guard<std::mutex> hold(dispatcher.lock);
    return dispatcher.AddThread(std::move(name), true, priority);
}

void AdoptThreadObject(PKTHREAD thread) {
    Dispatcher& dispatcher = Dispatcher::Current();
    if (currentThread.dispatcherId == dispatcher.id) {
        HostMisuse("AdoptThreadObject on a thread that already has a thread object");
    }
    currentThread.thread = thread;
    currentThread.dispatcherId = dispatcher.id;
    SetProcessorBlockThread(thread);
}

void MarkThreadTerminated(PKTHREAD thread) {
    Dispatcher& dispatcher = Dispatcher::Current();
    std::lock_guard<std::mutex> hold(dispatcher.lock);
    if (thread->Header.SignalState != 0) {
        HostMisuse("MarkThreadTerminated on a thread that has already terminated");
    }
    thread->Header.SignalState = 1;
    dispatcher.Signalled(&thread->Header);
}

KPRIORITY ThreadPriority(PKTHREAD thread) {
    std::lock_guard<std::mutex> hold(Dispatcher::Current().lock);
    return thread->priority;
}

void SetThreadPriority(PKTHREAD thread, KPRIORITY priority) {
    std::lock_guard<std::mutex> hold(Dispatcher::Current().lock);
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
