// The host pool as a test instrument: tracking and the leak report, garbage and poison, and the
// refusals of bad frees and bad IRQLs. (Its fault injection, by count and by calling function, is
// driven by the driver's load and start-up tests, which expect each injected failure.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <ntddk.h>

#include "HostTest.h"
#include "kernel/Irql.h"
#include "kernel/Pool.h"

namespace {

constexpr ULONG TestTag = 0x31747354; // "Tst1"

// Keeps the caller's frame on the stack: no tail call may follow an allocation.
void* Kept(void* block) {
    asm volatile("" : : "r"(block) : "memory");
    return block;
}

__attribute__((noinline)) void* AllocateForLeakReport() {
    return Kept(ExAllocatePoolWithTag(NonPagedPoolNx, 24, TestTag));
}

bool AllBytesAre(const void* block, size_t size, unsigned char value) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (size_t index = 0; index < size; ++index) {
        if (bytes[index] != value) {
            return false;
        }
    }
    return true;
}

class PoolTest : public HostTest {};
using PoolDeathTest = PoolTest;

TEST_F(PoolTest, LeakReportNamesSizeTypeTagAndTheAllocatingFunction) {
    void* block = AllocateForLeakReport();
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(AllBytesAre(block, 24, host::PoolFreshFill)) << "new blocks must not read as zero";
    EXPECT_EQ(host::PoolTagOf(block), TestTag);

    std::vector<std::string> problems = machine.Verify();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_THAT(problems[0], ::testing::MatchesRegex(
                                 "leaked 24 bytes of NonPagedPoolNx \\(tag 'Tst1'\\) allocated by "
                                 ".*AllocateForLeakReport.*\\+0x[0-9a-f]+, called from .*"));

    ExFreePoolWithTag(block, TestTag);
    EXPECT_TRUE(machine.Verify().empty());
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, 0u);
    EXPECT_EQ(host::GetPoolCounters().liveBytes, 0u);
}

TEST_F(PoolTest, FreedBlocksArePoisonedAndNotHandedOutAgainAtOnce) {
    auto* first = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 64));
    ASSERT_NE(first, nullptr);
    first[0] = 0;
    ExFreePool(first);
    EXPECT_TRUE(AllBytesAre(first, 64, host::PoolFreedFill)); // still quarantined, so readable
    void* second = ExAllocatePool(NonPagedPool, 64);
    EXPECT_NE(second, first);
    ExFreePool(second);
}

TEST_F(PoolTest, EachTypeIsKeptAlignedAndUsableUpToItsIrql) {
    struct Case {
        POOL_TYPE type;
        KIRQL highestIrql;
        uintptr_t alignment;
    };
    const Case cases[] = {
        {NonPagedPoolNx, DISPATCH_LEVEL, 16},
        {NonPagedPoolNxCacheAligned, DISPATCH_LEVEL, 64},
        {PagedPool, APC_LEVEL, 16},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(host::PoolTypeName(test.type));
        KIRQL old;
        KeRaiseIrql(test.highestIrql, &old);
        void* block = ExAllocatePool(test.type, 3);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % test.alignment, 0u);
        EXPECT_EQ(host::PoolTypeOf(block), test.type);
        ExFreePool(block);
        KeLowerIrql(old);
        EXPECT_EQ(host::PoolTypeOf(block), std::nullopt);
    }
}

TEST_F(PoolTest, OversizedRequestsFailInsteadOfExhaustingTheMachine) {
    EXPECT_EQ(ExAllocatePool(NonPagedPoolNx, host::PoolMaximumBlockSize + 1), nullptr);
    EXPECT_EQ(ExAllocatePool(NonPagedPoolNx, ~SIZE_T(0)), nullptr);
    EXPECT_EQ(host::GetPoolCounters().failures, 2u);
}

TEST_F(PoolDeathTest, BadFreesStopWithBadPoolCaller) {
    EXPECT_DEATH(
        {
            void* block = ExAllocatePool(NonPagedPoolNx, 16);
            ExFreePool(block);
            ExFreePool(block);
        },
        "BAD_POOL_CALLER.*freed twice.*first freed by");
    EXPECT_DEATH(
        {
            int local = 0;
            ExFreePool(&local);
        },
        "BAD_POOL_CALLER.*not a pool block");
    EXPECT_DEATH(
        {
            auto* block = static_cast<char*>(ExAllocatePool(NonPagedPoolNx, 16));
            ExFreePool(block + 8);
        },
        "BAD_POOL_CALLER.*points 8 bytes into the 16-byte block");
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 16, TestTag), 0x32747354),
                 "BAD_POOL_CALLER.*tag 'Tst2', but it was allocated with tag 'Tst1'");
}

TEST_F(PoolDeathTest, PoolAboveItsIrqlOrOfReservedTypesIsRefused) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePool(PagedPool, 16);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*PagedPool");
    EXPECT_DEATH(
        {
            void* block = ExAllocatePool(PagedPool, 16);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExFreePool(block);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*PagedPool");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            ExAllocatePool(NonPagedPoolNx, 16);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*NonPagedPoolNx");
    EXPECT_DEATH(ExAllocatePool(NonPagedPoolMustSucceed, 16), "BAD_POOL_CALLER.*must-succeed");
    EXPECT_DEATH(ExAllocatePool(static_cast<POOL_TYPE>(32), 16),
                 "BAD_POOL_CALLER.*pool type 32 is not");
}

} // namespace
