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

// The system call itself. Every wait and wake of the host makes one, so on x86-64 it is made
// in place rather than through the C library's variadic wrapper.
inline long Futex(std::atomic<std::uint32_t>* word, int operation, std::uint32_t value,
                  const void* timeout, std::uint32_t bitset) {
#if defined(__x86_64__)
    long result;
    register const void* r10 asm("r10") = timeout;
    register long r8 asm("r8") = 0;
    register long r9 asm("r9") = bitset;
    asm volatile("syscall"
                 : "=a"(result)
                 : "0"(static_cast<long>(SYS_futex)), "D"(word), "S"(static_cast<long>(operation)),
                   "d"(static_cast<long>(value)), "r"(r10), "r"(r8), "r"(r9)
                 : "rcx", "r11", "memory");
    return result;
#else
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), operation, value, timeout,
                   nullptr, bitset);
#endif
}

// Sleeps while *word reads expected, until woken (or spuriously); returns at once if the word
// has already changed.
inline void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    Futex(word, FUTEX_WAIT_PRIVATE, expected, nullptr, 0);
}

inline void FutexWake(std::atomic<std::uint32_t>* word, int threads) {
    Futex(word, FUTEX_WAKE_PRIVATE, static_cast<std::uint32_t>(threads), nullptr, 0);
}

} // namespace host
