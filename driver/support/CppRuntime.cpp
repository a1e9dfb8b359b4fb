// The C++ runtime pieces the compiler calls on its own: object creation and destruction onto the
// support library's memory entry points, and the pure-virtual trap. The kernel has no C++ runtime.
#include "Memory.h"

// Only the name is needed for the nothrow variants' signatures; the kernel has no <new>.
namespace std {
struct nothrow_t;
} // namespace std

namespace {
typedef decltype(sizeof(0)) ObjectSize;
} // namespace

// Creation returns null on failure (no exceptions); the kernel flags make the compiler check
// the result before running a constructor.
void* operator new(ObjectSize size) {
    return AllocateMemory(size);
}

void* operator new[](ObjectSize size) {
    return AllocateMemory(size);
}

void* operator new(ObjectSize size, const std::nothrow_t&) noexcept {
    return AllocateMemory(size);
}

void* operator new[](ObjectSize size, const std::nothrow_t&) noexcept {
    return AllocateMemory(size);
}

void operator delete(void* block) noexcept {
    FreeMemory(block);
}

void operator delete[](void* block) noexcept {
    FreeMemory(block);
}

void operator delete(void* block, ObjectSize) noexcept {
    FreeMemory(block);
}

void operator delete[](void* block, ObjectSize) noexcept {
    FreeMemory(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    FreeMemory(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    FreeMemory(block);
}

// A call through an unfilled virtual slot (an object used during its own construction or
// destruction) has no sane continuation in the kernel.
extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}
