// Manual poisoning for the address sanitizer: memory the host keeps for reuse (IRP records,
// in-place buffers) is marked unusable where a driver has no business, so the sanitizer reports
// a stray access there as it would past a heap block. Nothing in other builds.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define HOST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOST_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef HOST_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace host {

inline void PoisonBytes(const void* start, std::size_t bytes) {
#ifdef HOST_ADDRESS_SANITIZER
    __asan_poison_memory_region(start, bytes);
#else
    (void)start;
    (void)bytes;
#endif
}

inline void UnpoisonBytes(const void* start, std::size_t bytes) {
#ifdef HOST_ADDRESS_SANITIZER
    __asan_unpoison_memory_region(start, bytes);
#else
    (void)start;
    (void)bytes;
#endif
}

} // namespace host
