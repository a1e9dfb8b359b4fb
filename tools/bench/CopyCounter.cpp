// The counting copy routines: this program's memcpy, memmove and memset, which every loaded
// object binds to, counting the calls whose return address lies in the watched driver image.
#include "CopyCounter.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstddef>

namespace bench {

namespace {

// Relaxed atomics: a counter update is one locked add, and only totals are read.
std::atomic<std::uintptr_t> watchedStart{0};
std::atomic<std::uintptr_t> watchedEnd{0};
std::atomic<std::uint64_t> copiedBytes{0};
std::atomic<std::uint64_t> copyCalls{0};
std::atomic<std::uint64_t> filledBytes{0};

using CopyRoutine = void* (*)(void*, const void*, std::size_t);
using FillRoutine = void* (*)(void*, int, std::size_t);
std::atomic<CopyRoutine> libraryMemcpy{nullptr};
std::atomic<CopyRoutine> libraryMemmove{nullptr};
std::atomic<FillRoutine> libraryMemset{nullptr};

bool FromWatchedImage(const void* returnAddress) {
    const auto address = reinterpret_cast<std::uintptr_t>(returnAddress);
    return address >= watchedStart.load(std::memory_order_relaxed) &&
           address < watchedEnd.load(std::memory_order_relaxed);
}

// Until the C library's routines are found (the loader and static constructors copy before
// that), plain string instructions do the work; they are correct for any length.
void* ForwardCopy(void* target, const void* source, std::size_t length) {
    void* result = target;
    asm volatile("rep movsb" : "+D"(target), "+S"(source), "+c"(length) : : "memory");
    return result;
}

void* BackwardCopy(void* target, const void* source, std::size_t length) {
    void* result = target;
    if (length != 0) {
        void* lastTarget = static_cast<char*>(target) + length - 1;
        const void* lastSource = static_cast<const char*>(source) + length - 1;
        asm volatile("std\n\trep movsb\n\tcld"
                     : "+D"(lastTarget), "+S"(lastSource), "+c"(length)
                     :
                     : "memory");
    }
    return result;
}

void* Fill(void* target, int value, std::size_t length) {
    void* result = target;
    asm volatile("rep stosb" : "+D"(target), "+c"(length) : "a"(value) : "memory");
    return result;
}

template <class Routine>
Routine Library(std::atomic<Routine>& slot, const char* name) {
    Routine routine = slot.load(std::memory_order_acquire);
    if (routine == nullptr) {
        // dlsym itself may copy; the slot stays empty until it returns, so those calls take the
        // string-instruction path instead of recursing here.
        static thread_local bool resolving = false;
        if (resolving) {
            return nullptr;
        }
        resolving = true;
        routine = reinterpret_cast<Routine>(dlsym(RTLD_NEXT, name));
        resolving = false;
        slot.store(routine, std::memory_order_release);
    }
    return routine;
}

struct ImageRange {
    std::uintptr_t base;
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
};

int FindSegments(dl_phdr_info* info, std::size_t, void* data) {
    ImageRange* range = static_cast<ImageRange*>(data);
    if (info->dlpi_addr != range->base) {
        return 0;
    }
    for (int index = 0; index < info->dlpi_phnum; index++) {
        const ElfW(Phdr)& header = info->dlpi_phdr[index];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
        std::uintptr_t end = start + header.p_memsz;
        if (range->start == 0 || start < range->start) {
            range->start = start;
        }
        if (end > range->end) {
            range->end = end;
        }
    }
    return 1;
}

} // namespace

bool WatchImageOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
        return false;
    }
    ImageRange range{reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
    dl_iterate_phdr(FindSegments, &range);
    if (range.end == 0) {
        return false;
    }
    watchedStart.store(range.start);
    watchedEnd.store(range.end);
    return true;
}

void StopWatching() {
    watchedStart.store(0);
    watchedEnd.store(0);
}

CopyCounts ReadCopyCounts() {
    CopyCounts counts;
    counts.copiedBytes = copiedBytes.load();
    counts.copyCalls = copyCalls.load();
    counts.filledBytes = filledBytes.load();
    return counts;
}

} // namespace bench

using namespace bench;

extern "C" void* memcpy(void* target, const void* source, std::size_t length) {
    if (FromWatchedImage(__builtin_return_address(0))) {
        copiedBytes.fetch_add(length, std::memory_order_relaxed);
        copyCalls.fetch_add(1, std::memory_order_relaxed);
    }
    CopyRoutine routine = Library(libraryMemcpy, "memcpy");
    return routine != nullptr ? routine(target, source, length)
                              : ForwardCopy(target, source, length);
}

extern "C" void* memmove(void* target, const void* source, std::size_t length) {
    if (FromWatchedImage(__builtin_return_address(0))) {
        copiedBytes.fetch_add(length, std::memory_order_relaxed);
        copyCalls.fetch_add(1, std::memory_order_relaxed);
    }
    CopyRoutine routine = Library(libraryMemmove, "memmove");
    if (routine != nullptr) {
        return routine(target, source, length);
    }
    const auto to = reinterpret_cast<std::uintptr_t>(target);
    const auto from = reinterpret_cast<std::uintptr_t>(source);
    return to > from && to - from < length ? BackwardCopy(target, source, length)
                                           : ForwardCopy(target, source, length);
}

extern "C" void* memset(void* target, int value, std::size_t length) {
    if (FromWatchedImage(__builtin_return_address(0))) {
        filledBytes.fetch_add(length, std::memory_order_relaxed);
    }
    FillRoutine routine = Library(libraryMemset, "memset");
    return routine != nullptr ? routine(target, value, length) : Fill(target, value, length);
}
