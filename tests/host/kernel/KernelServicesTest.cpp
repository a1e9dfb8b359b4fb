// RtlGetVersion, the debugger flags and breakpoints, the clocks and RtlCompareMemory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include <ntddk.h>

#include "HostTest.h"
#include "kernel/Clock.h"
#include "kernel/Debugger.h"
#include "kernel/Version.h"

namespace {

class KernelServicesTest : public HostTest {};
using KernelServicesDeathTest = KernelServicesTest;

// Only the two structure sizes are accepted, and nothing past the given size is written.
TEST_F(KernelServicesTest, RtlGetVersionAcceptsOnlyTheTwoStructureSizes) {
    constexpr unsigned char Untouched = 0xAB;
    const struct {
        ULONG size;
        NTSTATUS status;
    } cases[] = {
        {sizeof(OSVERSIONINFOW) - 1, STATUS_INVALID_PARAMETER},
        {sizeof(OSVERSIONINFOW), STATUS_SUCCESS},
        {sizeof(OSVERSIONINFOW) + 1, STATUS_INVALID_PARAMETER},
        {sizeof(OSVERSIONINFOEXW), STATUS_SUCCESS},
        {sizeof(OSVERSIONINFOEXW) + 4, STATUS_INVALID_PARAMETER},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.size);
        unsigned char buffer[sizeof(OSVERSIONINFOEXW) + 16];
        std::memset(buffer, Untouched, sizeof(buffer));
        auto* info = reinterpret_cast<PRTL_OSVERSIONINFOW>(buffer);
        info->dwOSVersionInfoSize = test.size;
        EXPECT_EQ(RtlGetVersion(info), test.status);
        EXPECT_EQ(info->dwOSVersionInfoSize, test.size);
        const size_t written = test.status == STATUS_SUCCESS ? test.size : 0;
        for (size_t offset = std::max(written, sizeof(ULONG)); offset < sizeof(buffer); ++offset) {
            ASSERT_EQ(buffer[offset], Untouched) << "byte " << offset << " written";
        }
    }
}

TEST_F(KernelServicesTest, AnAttachedDebuggerCatchesBreakpoints) {
    EXPECT_TRUE(KdDebuggerNotPresent);
    host::AttachKernelDebugger();
    EXPECT_TRUE(KdDebuggerEnabled);
    EXPECT_FALSE(KdDebuggerNotPresent);
    DbgBreakPoint();
    KdBreakPoint();
    EXPECT_EQ(host::KernelDebuggerBreaks(), 2u);
}

// The debugger flags are globals; a new machine must not inherit the last one's.
TEST(KernelDebuggerTest, EachMachineStartsWithoutADebugger) {
    {
        host::Machine first;
        host::AttachKernelDebugger();
    }
    host::Machine second;
    EXPECT_FALSE(KdDebuggerEnabled);
    EXPECT_TRUE(KdDebuggerNotPresent);
    EXPECT_EQ(host::KernelDebuggerBreaks(), 0u);
}

TEST_F(KernelServicesDeathTest, ABreakpointWithoutADebuggerIsAnUnhandledException) {
    EXPECT_DEATH(DbgBreakPoint(), "0x0000001E \\(0x80000003,.*KMODE_EXCEPTION_NOT_HANDLED");
    EXPECT_DEATH(
        {
            host::AttachKernelDebugger();
            host::DetachKernelDebugger();
            DbgBreakPoint();
        },
        "KMODE_EXCEPTION_NOT_HANDLED");
}

// Both clocks read the machine's time: system time is the wall clock's in 100 ns units from 1601
// until virtual time moves, and then both move with it.
TEST_F(KernelServicesTest, ClocksReadTheMachinesTime) {
    constexpr LONGLONG UnixEpoch = 116444736000000000LL; // 1970 in 100-ns units from 1601
    constexpr LONGLONG Hour = 3600LL * 10000000;
    auto wallClock = [] {
        return std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count() +
               UnixEpoch;
    };
    const LONGLONG wallBefore = wallClock();
    LARGE_INTEGER frequency;
    LARGE_INTEGER system;
    const LONGLONG counter = KeQueryPerformanceCounter(&frequency).QuadPart;
    KeQuerySystemTime(&system);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_GE(system.QuadPart, wallBefore);
    EXPECT_LE(system.QuadPart, wallClock());

    LARGE_INTEGER anHour;
    anHour.QuadPart = -Hour;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &anHour), STATUS_SUCCESS);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_GE(later.QuadPart - system.QuadPart, Hour);
    EXPECT_GE(KeQueryPerformanceCounter(nullptr).QuadPart - counter, Hour);

    host::SetPerformanceCounterPresent(false);
    frequency.QuadPart = -1;
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 0);
    EXPECT_EQ(frequency.QuadPart, 0);
}

TEST(RtlCompareMemoryTest, CountsTheLeadingEqualBytes) {
    const unsigned char reference[] = {1, 2, 3, 4, 5, 6, 7, 8};
    const struct {
        size_t differingIndex; // 8: equal
        SIZE_T length;
        SIZE_T expected;
    } cases[] = {{8, 8, 8}, {0, 8, 0}, {7, 8, 7}, {3, 2, 2}};
    for (const auto& test : cases) {
        unsigned char other[sizeof(reference)];
        std::memcpy(other, reference, sizeof(other));
        if (test.differingIndex < sizeof(other)) {
            other[test.differingIndex] ^= 0x80;
        }
        EXPECT_EQ(RtlCompareMemory(reference, other, test.length), test.expected)
            << "difference at " << test.differingIndex << ", length " << test.length;
    }
}

} // namespace
