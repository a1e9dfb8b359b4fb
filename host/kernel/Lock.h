// The lock the host's own hot paths take (dispatcher, I/O manager, object manager, handle
// tables): one futex word that reads free, held, or held with sleepers. A hold without
// contention is one compare-and-swap and one exchange; a contended one sleeps in the kernel and
// is woken by the release, never spun on, since on one CPU the holder needs that CPU to get on.
// It meets the standard's Lockable requirements, so lock_guard and unique_lock work with it.
#pragma once

#include <atomic>
#include <cstdint>

#include "Futex.h"
#include "KeepsXmm.h"

namespace host {

class Lock {
public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() {
        std::uint32_t seen = Free;
        if (!word.compare_exchange_strong(seen, Held, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            LockContended(seen);
        }
    }

    bool try_lock() {
        std::uint32_t seen = Free;
        return word.compare_exchange_strong(seen, Held, std::memory_order_acquire,
                                            std::memory_order_relaxed);
    }

    void unlock() {
        if (word.exchange(Free, std::memory_order_release) == Contended) {
            FutexWake(&word, 1);
        }
    }

private:
    enum : std::uint32_t { Free, Held, Contended };

    // Marks the lock contended and sleeps until a release finds it free; a thread that takes it
    // this way leaves it marked, so its own release wakes whoever still sleeps.
    __attribute__((noinline)) HOST_KEEPS_XMM void LockContended(std::uint32_t seen) {
        if (seen != Contended) {
            seen = word.exchange(Contended, std::memory_order_acquire);
        }
        while (seen != Free) {
            FutexWait(&word, Contended);
            seen = word.exchange(Contended, std::memory_order_acquire);
        }
    }

    std::atomic<std::uint32_t> word{Free};
};

} // namespace host
