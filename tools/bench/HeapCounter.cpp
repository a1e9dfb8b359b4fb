// The malloc family, replaced in this program so that every allocation of every thread (the
// host's, the client library's, the C++ runtime's operator new) is counted before glibc's own
// allocator serves it. A sanitizer replaces malloc itself, so there nothing is replaced.
#include "HeapCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CONDUIT_BENCH_COUNT_HEAP 0
#else
#define CONDUIT_BENCH_COUNT_HEAP 1
#endif

namespace bench {

namespace {
std::atomic<std::uint64_t> allocations{0};

inline void Count(const void* block) {
    if (block != nullptr) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
} // namespace

bool HeapAllocationsCounted() {
    return CONDUIT_BENCH_COUNT_HEAP != 0;
}

std::uint64_t HeapAllocations() {
    return allocations.load(std::memory_order_relaxed);
}

} // namespace bench

#if CONDUIT_BENCH_COUNT_HEAP

extern "C" {

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    void* block = __libc_malloc(size);
    bench::Count(block);
    return block;
}

void* calloc(size_t count, size_t size) {
    void* block = __libc_calloc(count, size);
    bench::Count(block);
    return block;
}

void* realloc(void* block, size_t size) {
    void* moved = __libc_realloc(block, size);
    bench::Count(moved);
    return moved;
}

void* memalign(size_t alignment, size_t size) {
    void* block = __libc_memalign(alignment, size);
    bench::Count(block);
    return block;
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}

} // extern "C"

#endif
