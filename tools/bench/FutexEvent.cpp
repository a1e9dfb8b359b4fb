// The futex-based auto-reset event of the bare baselines.
#include "FutexEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

namespace {

long Futex(std::atomic<int>* word, int operation, int value) {
    static_assert(sizeof(std::atomic<int>) == sizeof(int), "a futex word is an int");
    return syscall(SYS_futex, reinterpret_cast<int*>(word), operation | FUTEX_PRIVATE_FLAG, value,
                   nullptr, nullptr, 0);
}

} // namespace

void FutexEvent::Set() {
    if (state_.exchange(1, std::memory_order_release) == -1) {
        Futex(&state_, FUTEX_WAKE, 1);
    }
}

void FutexEvent::Wait() {
    int seen = state_.load(std::memory_order_acquire);
    for (;;) {
        if (seen == 1) {
            if (state_.compare_exchange_weak(seen, 0, std::memory_order_acquire)) {
                return;
            }
            continue;
        }
        if (seen == 0 && !state_.compare_exchange_weak(seen, -1, std::memory_order_acquire)) {
            continue;
        }
        // Sleeps only while the word still says "asleep"; a Set in between makes this return.
        Futex(&state_, FUTEX_WAIT, -1);
        seen = state_.load(std::memory_order_acquire);
    }
}

void FutexEvent::Reset() {
    int signalled = 1;
    state_.compare_exchange_strong(signalled, 0, std::memory_order_acquire);
}

} // namespace bench
