// RtlGetVersion, the debugger flags and breakpoints, the clocks and RtlCompareMemory.
#include <gtest/gtest.h>

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

constexpr unsigned char Untouched = 0xAB;

TEST_F(KernelServicesTest, RtlGetVersionAcceptsOnlyTheTwoStructureSizes) {
    struct Case {
        ULONG size;
        NTSTATUS status;
        size_t bytesWritten; // from the start of the structure, past the size field
    };
    const Case cases[] = {
        {0, STATUS_INVALID_PARAMETER, 0},
        {sizeof(OSVERSIONINFOW) - 1, STATUS_INVALID_PARAMETER, 0},
        {sizeof(OSVERSIONINFOW), STATUS_SUCCESS, sizeof(OSVERSIONINFOW)},
        {sizeof(OSVERSIONINFOW) + 1, STATUS_INVALID_PARAMETER, 0},
        {sizeof(OSVERSIONINFOEXW) - 1, STATUS_INVALID_PARAMETER, 0},
        {sizeof(OSVERSIONINFOEXW), STATUS_SUCCESS, sizeof(OSVERSIONINFOEXW)},
        {sizeof(OSVERSIONINFOEXW) + 4, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.size);
        unsigned char buffer[sizeof(OSVERSIONINFOEXW) + 16];
        std::memset(buffer, Untouched, sizeof(buffer));
        auto* info = reinterpret_cast<PRTL_OSVERSIONINFOW>(buffer);
        info->dwOSVersionInfoSize = test.size;
        EXPECT_EQ(RtlGetVersion(info), test.status);
        EXPECT_EQ(info->dwOSVersionInfoSize, test.size);
        for (size_t offset = sizeof(ULONG); offset < sizeof(buffer); ++offset) {
            if (offset >= test.bytesWritten && buffer[offset] != Untouched) {
                ADD_FAILURE() << "byte " << offset << " written";
                break;
            }
        }
        if (test.status == STATUS_SUCCESS) {
            EXPECT_EQ(info->dwMajorVersion, 10u);
            EXPECT_EQ(info->dwMinorVersion, 0u);
            EXPECT_EQ(info->dwBuildNumber, 19045u);
            EXPECT_EQ(info->dwPlatformId, 2u);
            EXPECT_EQ(info->szCSDVersion[0], 0);
        }
    }
}

TEST_F(KernelServicesTest, RtlGetVersionReportsTheConfiguredVersion) {
    const ULONG versions[][3] = {{0, 0, 0},    {5, 0, 2195}, {5, 1, 2600},  {5, 2, 3790},
                                 {6, 0, 6000}, {6, 2, 9200}, {10, 0, 22631}};
    for (const auto& version : versions) {
        host::SetOsVersion(version[0], version[1], version[2]);
        RTL_OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
        EXPECT_EQ(info.dwMajorVersion, version[0]);
        EXPECT_EQ(info.dwMinorVersion, version[1]);
        EXPECT_EQ(info.dwBuildNumber, version[2]);
        EXPECT_EQ(info.wProductType, 1); // a workstation
    }
}

TEST_F(KernelServicesTest, AnAttachedDebuggerCatchesBreakpoints) {
    EXPECT_FALSE(KdDebuggerEnabled);
    EXPECT_TRUE(KdDebuggerNotPresent);
    host::AttachKernelDebugger();
    EXPECT_TRUE(KdDebuggerEnabled);
    EXPECT_FALSE(KdDebuggerNotPresent);
    DbgBreakPoint();
    KdBreakPoint();
    EXPECT_EQ(host::KernelDebuggerBreaks(), 2u);
}

TEST(KernelDebuggerTest, EachMachineStartsWithoutADebugger) {
    {
        host::Machine first;
        host::AttachKernelDebugger();
        ASSERT_TRUE(KdDebuggerEnabled);
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

TEST_F(KernelServicesTest, ThePerformanceCounterIsMonotonicAtTenMegahertz) {
    LARGE_INTEGER frequency;
    frequency.QuadPart = -1;
    LONGLONG previous = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_GT(previous, 0);
    for (int i = 0; i < 10000; ++i) {
        LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST_F(KernelServicesTest, AMachineWithoutAPerformanceCounterReportsFrequencyZero) {
    host::SetPerformanceCounterPresent(false);
    LARGE_INTEGER frequency;
    frequency.QuadPart = -1;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 0);
    host::SetPerformanceCounterPresent(true);
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
}

TEST_F(KernelServicesTest, SystemTimeCountsHundredsOfNanosecondsFrom1601) {
    // 100-ns intervals between 1601-01-01 and 1970-01-01.
    constexpr LONGLONG UnixEpoch = 116444736000000000LL;
    auto ticksNow = [] {
        return std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    LONGLONG before = ticksNow() + UnixEpoch;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG after = ticksNow() + UnixEpoch;
    EXPECT_GE(now.QuadPart, before);
    EXPECT_LE(now.QuadPart, after);
}

TEST(RtlCompareMemoryTest, CountsTheLeadingEqualBytes) {
    const unsigned char reference[] = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        size_t differingIndex; // sizeof(reference) when equal
        SIZE_T length;
        SIZE_T expected;
    };
    const Case cases[] = {
        {8, 8, 8}, {0, 8, 0}, {7, 8, 7}, {3, 8, 3}, {3, 2, 2}, {0, 0, 0},
    };
    for (const Case& test : cases) {
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
