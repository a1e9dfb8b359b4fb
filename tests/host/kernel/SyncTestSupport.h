// Helpers for the dispatcher tests: threads that wait in the kernel, and sequencing on "is
// blocked in a wait" (the dispatcher's own wait list) rather than on sleeps.
#pragma once

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <ntddk.h>

#include "kernel/Dispatcher.h"

namespace synctest {

// Blocks until count threads wait on object.
inline void AwaitWaiters(const void* object, std::size_t count) {
    while (host::Dispatcher::Current().WaitersOn(object) != count) {
        std::this_thread::yield();
    }
}

template <class Condition>
void SpinUntil(Condition condition) {
    while (!condition()) {
        std::this_thread::yield();
    }
}

// A thread that waits once on object without a time-out and records the outcome.
class Waiter {
public:
    explicit Waiter(PVOID object)
        : thread([this, object] {
              status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
              done = true;
          }) {}
    ~Waiter() {
        if (thread.joinable()) {
            thread.join();
        }
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    void Join() { thread.join(); }

    std::atomic<bool> done{false};
    std::atomic<NTSTATUS> status{STATUS_UNSUCCESSFUL};

private:
    std::thread thread;
};

inline NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

} // namespace synctest
