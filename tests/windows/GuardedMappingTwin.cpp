// Runs the driver's guarded mapping routine (GuardedMappingMingw.S, assembled with a test callee)
// under Wine: the scope table, the filter and the jump target, through Windows's own structured
// exception dispatch. Also prints the interface slot table measured with the driver's flags.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/MingwInterfaceSlots.h"

namespace {

using Callee = void*(WINAPI*)(void* mdl, char accessMode, int cacheType, void* requestedAddress,
                              ULONG bugCheckOnFailure, ULONG priority);

struct Arguments {
    void* mdl;
    char accessMode;
    int cacheType;
    void* requestedAddress;
    ULONG bugCheckOnFailure;
    ULONG priority;
    bool stackAligned;
};

Arguments received;
void* const mapping = reinterpret_cast<void*>(0x7ffe12340000);
// Read through a volatile pointer so the compiler cannot prove the write below faults.
volatile int* volatile unmappedPage = reinterpret_cast<volatile int*>(0x10);

void Record(void* mdl, char accessMode, int cacheType, void* requestedAddress,
            ULONG bugCheckOnFailure, ULONG priority) {
    alignas(16) volatile unsigned char probe[16] = {};
    received = Arguments{mdl,
                         accessMode,
                         cacheType,
                         requestedAddress,
                         bugCheckOnFailure,
                         priority,
                         reinterpret_cast<std::uintptr_t>(&probe[0]) % 16 == 0};
    // The callers fault right after; keep the compiler from sinking the record past the fault.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void* WINAPI ReturnsMapping(void* mdl, char mode, int cache, void* address, ULONG check, ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    return mapping;
}

void* WINAPI ReturnsNull(void* mdl, char mode, int cache, void* address, ULONG check, ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    return nullptr;
}

void* WINAPI RaisesAccessViolation(void* mdl, char mode, int cache, void* address, ULONG check,
                                   ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    RaiseException(0xC0000005, 0, 0, nullptr);
    return mapping;
}

void* WINAPI RaisesInsufficientResources(void* mdl, char mode, int cache, void* address,
                                         ULONG check, ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    RaiseException(0xC000009A, 0, 0, nullptr);
    return mapping;
}

void* WINAPI TouchesUnmappedPage(void* mdl, char mode, int cache, void* address, ULONG check,
                                 ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    *unmappedPage = 1;
    return mapping;
}

__attribute__((noinline)) void RaiseNoMemoryTwoFramesDown(int depth) {
    if (depth > 0) {
        RaiseNoMemoryTwoFramesDown(depth - 1);
    }
    RaiseException(0xC0000017, 0, 0, nullptr);
}

void* WINAPI RaisesFromDeeperFrames(void* mdl, char mode, int cache, void* address, ULONG check,
                                    ULONG p) {
    Record(mdl, mode, cache, address, check, p);
    RaiseNoMemoryTwoFramesDown(2);
    return mapping;
}

} // namespace

extern "C" {
Callee GuardedMappingTwinCallee;
LONG WINAPI MapLockedPagesGuarded(void* mdl, char accessMode, int cacheType, void* requestedAddress,
                                  ULONG bugCheckOnFailure, ULONG priority, void** mappedAddress);
}

int main() {
    struct Case {
        const char* name;
        Callee callee;
        LONG status;
        void* mapped;
    };
    // Raising cases sit between successes, so a code left behind by one call would show.
    const Case cases[] = {
        {"returns a mapping", ReturnsMapping, 0, mapping},
        {"RaiseException(access violation)", RaisesAccessViolation, LONG(0xC0000005), nullptr},
        {"returns null without raising", ReturnsNull, 0, nullptr},
        {"RaiseException(insufficient resources)", RaisesInsufficientResources, LONG(0xC000009A),
         nullptr},
        {"returns a mapping after a raise", ReturnsMapping, 0, mapping},
        {"writes to an unmapped page", TouchesUnmappedPage, LONG(0xC0000005), nullptr},
        {"raises three frames further down", RaisesFromDeeperFrames, LONG(0xC0000017), nullptr},
    };

    int failures = 0;
    unsigned round = 0;
    for (const Case& c : cases) {
        ++round;
        // Distinct arguments per call, with high bits set where only the low 32 count.
        void* const mdl = reinterpret_cast<void*>(0x1000 * round + 0x20);
        void* const requested = reinterpret_cast<void*>(0x55550000ull + round);
        const char mode = char(round & 1);
        const int cache = int(round % 3);
        const ULONG bugCheck = round & 1;
        const ULONG priority = 0x40000010u + round;
        received = Arguments{};
        void* mapped = reinterpret_cast<void*>(0xdeadbeef);

        GuardedMappingTwinCallee = c.callee;
        const LONG status =
            MapLockedPagesGuarded(mdl, mode, cache, requested, bugCheck, priority, &mapped);

        const bool argumentsPassed =
            received.mdl == mdl && received.accessMode == mode && received.cacheType == cache &&
            received.requestedAddress == requested && received.bugCheckOnFailure == bugCheck &&
            received.priority == priority;
        const bool ok =
            status == c.status && mapped == c.mapped && argumentsPassed && received.stackAligned;
        std::printf("%-4s %-42s status 0x%08lx (want 0x%08lx) mapped %p (want %p)%s%s\n",
                    ok ? "ok" : "FAIL", c.name, static_cast<unsigned long>(status),
                    static_cast<unsigned long>(c.status), mapped, c.mapped,
                    argumentsPassed ? "" : " arguments garbled",
                    received.stackAligned ? "" : " stack misaligned");
        failures += ok ? 0 : 1;
    }

    const MingwInterfaceSlot* slots = nullptr;
    const unsigned slotCount = MingwInterfaceSlots(&slots);
    for (unsigned i = 0; i < slotCount; ++i) {
        const bool ok = slots[i].actual == slots[i].expected;
        std::printf("%-4s slot %2u (want %2u) %s\n", ok ? "ok" : "FAIL", slots[i].actual,
                    slots[i].expected, slots[i].method);
        failures += ok ? 0 : 1;
    }

    std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
