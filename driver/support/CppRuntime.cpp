// The C++ runtime pieces the compiler calls on its own: object creation and destruction onto the
// support library's memory entry points, the pure-virtual trap and the stack protector's cookie
// and failure. The kernel has no C++ runtime.
#include "Memory.h"
#include "platform/StackCookie.h"

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

// The stack-protector cookie the compiler's guarded frames check on return, and the bug check
// when one finds it overwritten. The static value only protects frames run before the image's
// entry point has called InitializeStackCookie.
namespace {
// DRIVER_OVERRAN_STACK_BUFFER, which not every kit's headers name.
const ULONG DriverOverranStackBuffer = 0xF7;
} // namespace

extern "C" {
ULONG_PTR __stack_chk_guard = 0x2B8E5C1FD03A94E7ull;
}

extern "C" __attribute__((noreturn)) void __stack_chk_fail() {
    KeBugCheckEx(DriverOverranStackBuffer, 0, __stack_chk_guard, ~__stack_chk_guard,
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)));
}

// Not guarded itself: it changes the value its own frame would be checked against.
__attribute__((no_stack_protector)) VOID InitializeStackCookie() {
    LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
    ULONG_PTR cookie = static_cast<ULONG_PTR>(counter.QuadPart) ^ __builtin_ia32_rdtsc() ^
                       reinterpret_cast<ULONG_PTR>(&counter);
    // A zero low byte stops a runaway string copy from writing the cookie back.
    cookie &= ~static_cast<ULONG_PTR>(0xFF);
    if (cookie != 0) {
        __stack_chk_guard = cookie;
    }
}
