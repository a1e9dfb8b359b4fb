// The run-time library's memory routines that are functions rather than macros, and the
// kernel's copy routines as the driver image imports them.
#include "RtlMemory.h"

#include <ntddk.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<std::uint64_t> copiedByDriver{0};

} // namespace

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* first = static_cast<const UCHAR*>(Source1);
    const auto* second = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && first[equal] == second[equal]) {
        ++equal;
    }
    return equal;
}

// The driver image is linked with --wrap=memcpy and --wrap=memmove: every call it makes to
// either, its own and those the compiler emits for large copies, lands here. Copies the
// compiler expands inline (a few fixed bytes) are not calls and are not counted; audio never
// moves that way.
extern "C" void* __wrap_memcpy(void* destination, const void* source, size_t bytes) {
    copiedByDriver.fetch_add(bytes, std::memory_order_relaxed);
    return std::memcpy(destination, source, bytes);
}

extern "C" void* __wrap_memmove(void* destination, const void* source, size_t bytes) {
    copiedByDriver.fetch_add(bytes, std::memory_order_relaxed);
    return std::memmove(destination, source, bytes);
}

namespace host {

std::uint64_t DriverCopiedBytes() {
    return copiedByDriver.load(std::memory_order_relaxed);
}

void* ImageMemcpy(void* destination, const void* source, size_t bytes) {
    return __wrap_memcpy(destination, source, bytes);
}

void* ImageMemmove(void* destination, const void* source, size_t bytes) {
    return __wrap_memmove(destination, source, bytes);
}

void* ImageMemset(void* destination, int value, size_t bytes) {
    return std::memset(destination, value, bytes);
}

int ImageMemcmp(const void* first, const void* second, size_t bytes) {
    return std::memcmp(first, second, bytes);
}

} // namespace host
