// The host memory manager: partial MDLs, pages zeroed between owners, process address limits,
// the two ways a user mapping fails, short page allocations and the verifier's reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include <ntddk.h>

#include "../../../driver/platform/GuardedMapping.h"
#include "HostTest.h"
#include "kernel/Memory.h"
#include "kernel/Process.h"

// Helpers live in a named namespace and are neither inlined nor tail calls, so that the verifier,
// which names a caller by its exported symbol, can name them.
namespace memorytest {

#define NO_TAIL_CALL() asm volatile("" ::: "memory")

constexpr ULONG NoExecutePriority = NormalPagePriority | MdlMappingNoExecute;

PHYSICAL_ADDRESS Physical(ULONGLONG value) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = LONGLONG(value);
    return address;
}

__attribute__((noinline)) PMDL AllocatePages(SIZE_T bytes) {
    PMDL mdl = MmAllocatePagesForMdl(Physical(0), Physical(~0ull), Physical(0), bytes);
    NO_TAIL_CALL();
    return mdl;
}

void FreePages(PMDL mdl) {
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

__attribute__((noinline)) PVOID MapSystem(PMDL mdl) {
    PVOID address =
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NoExecutePriority);
    NO_TAIL_CALL();
    return address;
}

// A user mapping made the way the driver makes it; fails the test unless it succeeds.
__attribute__((noinline)) PVOID MapUser(PMDL mdl) {
    PVOID address = nullptr;
    NTSTATUS status =
        MapLockedPagesGuarded(mdl, UserMode, MmCached, nullptr, FALSE, NoExecutePriority, &address);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(address, nullptr);
    return address;
}

__attribute__((noinline)) PMDL BuildPartial(PMDL source, ULONG offset, ULONG length) {
    PVOID start = static_cast<char*>(MmGetMdlVirtualAddress(source)) + offset;
    PMDL partial = IoAllocateMdl(start, length == 0 ? source->ByteCount - offset : length, FALSE,
                                 FALSE, nullptr);
    if (partial != nullptr) {
        IoBuildPartialMdl(source, partial, start, length);
    }
    return partial;
}

std::string AllProblems(host::Machine& machine) {
    std::string all;
    for (const std::string& problem : machine.Verify()) {
        all += problem + "\n";
    }
    return all;
}

} // namespace memorytest

namespace {

using namespace memorytest;

class MemoryTest : public HostTest {
protected:
    host::Process client64{1, "client64", false};
};

TEST_F(MemoryTest, PagesAreZeroWhenHandedOutAgain) {
    for (int round = 0; round < 2; ++round) {
        PMDL pages = AllocatePages(2 * PAGE_SIZE);
        auto* view = static_cast<std::uint8_t*>(MapSystem(pages));
        for (ULONG i = 0; i < 2 * PAGE_SIZE; ++i) {
            ASSERT_EQ(view[i], 0) << "round " << round << ", byte " << i;
        }
        std::memset(view, 0xEE, 2 * PAGE_SIZE);
        MmUnmapLockedPages(view, pages);
        FreePages(pages);
    }
}

TEST_F(MemoryTest, PartialMdlDescribesExactlyItsPartOfTheSource) {
    struct Case {
        ULONG offset;
        ULONG length; // 0: the rest of the source
        ULONG expectedBytes;
    };
    const Case cases[] = {
        {0, 1, 1},
        {PAGE_SIZE - 1, 2, 2},
        {3 * PAGE_SIZE + 17, 0, 2 * PAGE_SIZE - 17},
        {5 * PAGE_SIZE - 1, 1, 1},
    };
    PMDL source = AllocatePages(5 * PAGE_SIZE);
    auto* system = static_cast<std::uint8_t*>(MapSystem(source));
    for (ULONG i = 0; i < 5 * PAGE_SIZE; ++i) {
        system[i] = std::uint8_t(i ^ (i >> 8));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE("offset " + std::to_string(c.offset) + ", length " + std::to_string(c.length));
        PMDL partial = BuildPartial(source, c.offset, c.length);
        ASSERT_NE(partial, nullptr);
        EXPECT_EQ(MmGetMdlByteCount(partial), c.expectedBytes);
        EXPECT_EQ(MmGetMdlByteOffset(partial), c.offset % PAGE_SIZE);
        EXPECT_EQ(MmGetMdlVirtualAddress(partial),
                  static_cast<char*>(MmGetMdlVirtualAddress(source)) + c.offset);
        EXPECT_NE(partial->MdlFlags & MDL_PARTIAL, 0);
        auto* view = static_cast<std::uint8_t*>(MapSystem(partial));
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(std::memcmp(view, system + c.offset, c.expectedBytes), 0);
        MmUnmapLockedPages(view, partial);
        IoFreeMdl(partial);
    }
    MmUnmapLockedPages(system, source);
    FreePages(source);
}

TEST_F(MemoryTest, FreeingAPartialMdlTearsDownItsSystemView) {
    PMDL source = AllocatePages(2 * PAGE_SIZE);
    PMDL partial = BuildPartial(source, 0, PAGE_SIZE);
    PVOID view = MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
    ASSERT_NE(view, nullptr);
    EXPECT_NE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED, 0);
    EXPECT_EQ(host::LiveMappings(nullptr).size(), 1u);
    IoFreeMdl(partial);
    EXPECT_TRUE(host::LiveMappings(nullptr).empty());
    FreePages(source);
}

TEST_F(MemoryTest, UserMappingFailsByRaisingOrByReturningNull) {
    PMDL buffer = AllocatePages(PAGE_SIZE);
    host::ProcessScope inClient(&client64);
    struct Case {
        host::MappingFailure how;
        NTSTATUS raised;
        NTSTATUS expectedStatus;
    };
    const Case cases[] = {
        {host::MappingFailure::Raise, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {host::MappingFailure::Raise, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {host::MappingFailure::ReturnNull, STATUS_ACCESS_VIOLATION, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        // The first mapping goes through; the second is the one that fails.
        host::FailUserMapping(c.how, c.raised, 1);
        PVOID first = MapUser(buffer);
        PVOID second = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(MapLockedPagesGuarded(buffer, UserMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority, &second),
                  c.expectedStatus);
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(host::LiveMappings(&client64).size(), 1u);
        MmUnmapLockedPages(first, buffer);
        // The injection fired once and is spent.
        PVOID third = MapUser(buffer);
        MmUnmapLockedPages(third, buffer);
    }
    FreePages(buffer);
}

TEST_F(MemoryTest, SystemMappingFailureReturnsNull) {
    PMDL buffer = AllocatePages(PAGE_SIZE);
    host::FailSystemMapping();
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority), nullptr);
    EXPECT_EQ(buffer->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    EXPECT_TRUE(host::LiveMappings(nullptr).empty());
    FreePages(buffer);
}

TEST_F(MemoryTest, PageAllocationsCanComeUpShort) {
    // A full allocation keeps the count asked for, even when it is not whole pages.
    PMDL small = AllocatePages(196);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(small), 196u);
    FreePages(small);

    host::LimitPageAllocation(2 * PAGE_SIZE);
    PMDL shortOne = AllocatePages(0x80000);
    ASSERT_NE(shortOne, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(shortOne), 2u * PAGE_SIZE);
    EXPECT_EQ(host::AllocatedPageCount(), 2u);
    FreePages(shortOne);

    host::LimitPageAllocation(0);
    EXPECT_EQ(AllocatePages(0x80000), nullptr);

    host::LimitPageAllocation(PAGE_SIZE);
    EXPECT_EQ(MmAllocatePagesForMdlEx(Physical(0), Physical(~0ull), Physical(0), 3 * PAGE_SIZE,
                                      MmCached, MM_ALLOCATE_FULLY_REQUIRED),
              nullptr);
    EXPECT_EQ(host::AllocatedPageCount(), 0u);

    // No page lies below 1 MiB, so a range that ends there yields nothing.
    EXPECT_EQ(MmAllocatePagesForMdl(Physical(0), Physical(0xFFFFF), Physical(0), PAGE_SIZE),
              nullptr);
}

// The verifier's reports are checked on a machine of the test's own, which it then discards.
TEST(MemoryVerifierTest, LeakedPagesMdlsAndMappingsAreReportedWithTheirCaller) {
    host::Machine machine;
    host::Process client{7, "leaky client", false};
    PMDL buffer = AllocatePages(3 * PAGE_SIZE);
    EXPECT_NE(BuildPartial(buffer, 0, PAGE_SIZE), nullptr);
    {
        host::ProcessScope inClient(&client);
        MapUser(buffer);
    }
    MapSystem(buffer);

    std::string all = AllProblems(machine);
    EXPECT_NE(all.find("3 pages (12288 bytes) from MmAllocatePagesForMdl called from "
                       "memorytest::AllocatePages"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("from IoAllocateMdl called from memorytest::BuildPartial"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("in process 'leaky client', made by MmMapLockedPagesSpecifyCache called "
                       "from memorytest::MapUser"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("in system space, made by MmMapLockedPagesSpecifyCache called from "
                       "memorytest::MapSystem"),
              std::string::npos)
        << all;
}

// An MDL of MmAllocatePagesForMdl goes back by MmFreePagesFromMdl and then ExFreePool; an MDL of
// IoAllocateMdl by IoFreeMdl. Every other pairing is reported.
TEST(MemoryVerifierTest, EachKindOfMdlMustBeFreedItsOwnWay) {
    struct Row {
        const char* what;
        void (*free)(PMDL pages, PMDL partial);
        const char* finding;
    };
    const Row rows[] = {
        {"page MDL by IoFreeMdl",
         [](PMDL pages, PMDL partial) {
             IoFreeMdl(partial);
             MmFreePagesFromMdl(pages);
             IoFreeMdl(pages);
         },
         "such an MDL is freed with MmFreePagesFromMdl and then ExFreePool"},
        {"page MDL without its pages",
         [](PMDL pages, PMDL partial) {
             IoFreeMdl(partial);
             ExFreePool(pages);
         },
         "pages were never freed with MmFreePagesFromMdl"},
        {"IoAllocateMdl MDL by ExFreePool",
         [](PMDL pages, PMDL partial) {
             ExFreePool(partial);
             FreePages(pages);
         },
         "such an MDL is freed with IoFreeMdl"},
        {"page MDL whose storage stays",
         [](PMDL pages, PMDL partial) {
             IoFreeMdl(partial);
             MmFreePagesFromMdl(pages);
         },
         "had its pages freed but was never freed with ExFreePool"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        host::Machine machine;
        PMDL pages = AllocatePages(PAGE_SIZE);
        row.free(pages, BuildPartial(pages, 0, 0));
        const std::string all = AllProblems(machine);
        EXPECT_NE(all.find(row.finding), std::string::npos) << all;
    }
}

TEST(MemoryVerifierTest, FreeingPagesThatAreStillMappedIsReported) {
    host::Machine machine;
    PMDL buffer = AllocatePages(PAGE_SIZE);
    PVOID view = MapSystem(buffer);
    MmFreePagesFromMdl(buffer);
    std::string all = AllProblems(machine);
    EXPECT_NE(all.find("in system space, made by MmMapLockedPagesSpecifyCache"), std::string::npos)
        << all;
    EXPECT_NE(all.find("MmFreePagesFromMdl called from"), std::string::npos) << all;
    EXPECT_NE(all.find("freed pages that are still mapped"), std::string::npos) << all;
    // The late unmap must not touch the MDL, whose storage may already be gone.
    MmUnmapLockedPages(view, buffer);
    ExFreePool(buffer);
}

} // namespace
