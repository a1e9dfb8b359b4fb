// What the memory manager refuses as Windows would: calls above their IRQL, user mappings with
// no process, partial MDLs beyond their source, unknown or foreign unmaps, uncaught raises.
#include <gtest/gtest.h>

#include <ntddk.h>

#include "../../../driver/platform/GuardedMapping.h"
#include "HostTest.h"
#include "kernel/Memory.h"
#include "kernel/Process.h"

namespace {

PHYSICAL_ADDRESS Physical(ULONGLONG value) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = LONGLONG(value);
    return address;
}

PMDL AllocatePages(SIZE_T bytes) {
    return MmAllocatePagesForMdl(Physical(0), Physical(~0ull), Physical(0), bytes);
}

void RaiseTo(KIRQL level) {
    KIRQL old;
    KeRaiseIrql(level, &old);
}

using MemoryDeathTest = HostTest;

TEST_F(MemoryDeathTest, CallsAboveTheirIrqlBugCheck) {
    PMDL buffer = AllocatePages(PAGE_SIZE);
    host::Process client{1, "client", false};
    EXPECT_DEATH(
        {
            RaiseTo(DISPATCH_LEVEL);
            AllocatePages(PAGE_SIZE);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*MmAllocatePagesForMdl called at IRQL 2");
    EXPECT_DEATH(
        {
            host::ProcessScope inClient(&client);
            RaiseTo(DISPATCH_LEVEL);
            PVOID address;
            MapLockedPagesGuarded(buffer, UserMode, MmCached, nullptr, FALSE, NormalPagePriority,
                                  &address);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*MmMapLockedPagesSpecifyCache\\(UserMode\\) called at IRQL 2");
    EXPECT_DEATH(
        {
            PVOID view = MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority);
            RaiseTo(HIGH_LEVEL);
            MmUnmapLockedPages(view, buffer);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*MmUnmapLockedPages\\(system address\\) called at IRQL 15");
    // A system mapping at DISPATCH_LEVEL is allowed.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID view = MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority);
    EXPECT_NE(view, nullptr);
    MmUnmapLockedPages(view, buffer);
    KeLowerIrql(old);
    MmFreePagesFromMdl(buffer);
    ExFreePool(buffer);
}

TEST_F(MemoryDeathTest, UserMappingsNeedAProcessAndAHandler) {
    PMDL buffer = AllocatePages(PAGE_SIZE);
    EXPECT_DEATH(
        {
            PVOID address;
            MapLockedPagesGuarded(buffer, UserMode, MmCached, nullptr, FALSE, NormalPagePriority,
                                  &address);
        },
        "outside any user process");
    host::Process client{1, "client", false};
    EXPECT_DEATH(
        {
            host::ProcessScope inClient(&client);
            host::FailUserMapping(host::MappingFailure::Raise, STATUS_ACCESS_VIOLATION);
            MmMapLockedPagesSpecifyCache(buffer, UserMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority);
        },
        "STOP: 0x0000001E \\(0xC0000005.*KMODE_EXCEPTION_NOT_HANDLED");
    MmFreePagesFromMdl(buffer);
    ExFreePool(buffer);
}

TEST_F(MemoryDeathTest, PartialMdlsMustLieWithinTheirSource) {
    PMDL source = AllocatePages(2 * PAGE_SIZE);
    auto* base = static_cast<char*>(MmGetMdlVirtualAddress(source));
    struct Case {
        long offset;
        ULONG length;
        const char* message;
    };
    const Case cases[] = {
        {-1, 10, "outside the source MDL"},
        {2 * PAGE_SIZE - 10, 11, "reaching beyond the end of the source MDL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_DEATH(
            {
                PMDL partial = IoAllocateMdl(base, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
                // Integer arithmetic: an address before the buffer is not a valid pointer sum.
                PVOID address = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(base) +
                                                        static_cast<ULONG_PTR>(c.offset));
                IoBuildPartialMdl(source, partial, address, c.length);
            },
            c.message);
    }
    // A target too small for the pages it must describe.
    EXPECT_DEATH(
        {
            PMDL partial = IoAllocateMdl(base, 1, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(source, partial, base + 100, PAGE_SIZE);
        },
        "TARGET_MDL_TOO_SMALL");
    MmFreePagesFromMdl(source);
    ExFreePool(source);
}

TEST_F(MemoryDeathTest, UnmapsMustNameALiveViewItsMdlAndItsProcess) {
    PMDL buffer = AllocatePages(PAGE_SIZE);
    PMDL other = AllocatePages(PAGE_SIZE);
    host::Process owner{1, "owner", false};
    host::Process stranger{2, "stranger", false};
    PVOID userView = nullptr;
    {
        host::ProcessScope inOwner(&owner);
        MapLockedPagesGuarded(buffer, UserMode, MmCached, nullptr, FALSE, NormalPagePriority,
                              &userView);
    }
    ASSERT_NE(userView, nullptr);
    EXPECT_DEATH(MmUnmapLockedPages(static_cast<char*>(userView) + 8, buffer),
                 "which no mapping call returned");
    EXPECT_DEATH(
        {
            host::ProcessScope inOwner(&owner);
            MmUnmapLockedPages(userView, other);
        },
        "with another MDL than the one that was mapped there");
    EXPECT_DEATH(
        {
            host::ProcessScope inStranger(&stranger);
            MmUnmapLockedPages(userView, buffer);
        },
        "view in process 'owner' while running in the context of another process");
    {
        host::ProcessScope inOwner(&owner);
        MmUnmapLockedPages(userView, buffer);
    }
    EXPECT_DEATH(
        {
            host::ProcessScope inOwner(&owner);
            MmUnmapLockedPages(userView, buffer);
        },
        "already unmapped");
    for (PMDL mdl : {buffer, other}) {
        MmFreePagesFromMdl(mdl);
        ExFreePool(mdl);
    }
}

TEST_F(MemoryDeathTest, MappingFreedPagesBugChecks) {
    PMDL source = AllocatePages(PAGE_SIZE);
    PMDL partial = IoAllocateMdl(MmGetMdlVirtualAddress(source), 16, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, partial, MmGetMdlVirtualAddress(source), 16);
    MmFreePagesFromMdl(source);
    ExFreePool(source);
    EXPECT_DEATH(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority),
                 "which is not allocated");
    IoFreeMdl(partial);
}

} // namespace
