// RtlGetVersion over a per-machine version, so a test can run the driver on an older kernel.
#include "Version.h"

#include "BugCheck.h"
#include "Machine.h"

namespace host {

namespace {

constexpr ULONG PlatformWin32Nt = 2;
constexpr UCHAR ProductWorkstation = 1;     // VER_NT_WORKSTATION
constexpr USHORT SuiteSingleUserTs = 0x100; // VER_SUITE_SINGLEUSERTS

struct OsVersion : Subsystem {
    ULONG major = 10;
    ULONG minor = 0;
    ULONG build = 19045;
};

} // namespace

void SetOsVersion(ULONG major, ULONG minor, ULONG build) {
    OsVersion& version = Machine::Current().Get<OsVersion>();
    version.major = major;
    version.minor = minor;
    version.build = build;
}

} // namespace host

extern "C" NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0,
                       0, 0, "RtlGetVersion with a null structure");
    }
    const ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW)) {
        return STATUS_INVALID_PARAMETER;
    }
    const host::OsVersion& version = host::Machine::Current().Get<host::OsVersion>();
    lpVersionInformation->dwMajorVersion = version.major;
    lpVersionInformation->dwMinorVersion = version.minor;
    lpVersionInformation->dwBuildNumber = version.build;
    lpVersionInformation->dwPlatformId = host::PlatformWin32Nt;
    RtlZeroMemory(lpVersionInformation->szCSDVersion, sizeof(lpVersionInformation->szCSDVersion));
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* extended = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        extended->wServicePackMajor = 0;
        extended->wServicePackMinor = 0;
        extended->wSuiteMask = host::SuiteSingleUserTs;
        extended->wProductType = host::ProductWorkstation;
        extended->wReserved = 0;
    }
    return STATUS_SUCCESS;
}
