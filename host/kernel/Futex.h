// The futex system call under the host's own locks and waits: sleep while a 32-bit word still
// holds a value, wake the threads sleeping on it.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace host {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a futex word is 32 bits");

// Sleeps while *word reads expected, until woken (or spuriously); returns at once if the word
// has already changed.
inline void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

inline void FutexWake(std::atomic<std::uint32_t>* word, int threads) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, threads, nullptr,
            nullptr, 0);
}

} // namespace host
