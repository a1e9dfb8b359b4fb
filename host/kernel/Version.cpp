// RtlGetVersion over a per-machine version, so a test can run the driver on an older kernel,
// and MmGetSystemRoutineAddress over the kernel's and the HAL's export tables, which hides the
// routines that kernel would not have.
#include "Version.h"

#include <string>

#include "BugCheck.h"
#include "ImageExports.h"
#include "IoManager.h"
#include "Irql.h"
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

// Routines the host exports that Windows added after Vista: a driver finds them only from
// the version that brought them.
struct LaterRoutine {
    const char* name;
    ULONG major;
    ULONG minor;
};
constexpr LaterRoutine LaterRoutines[] = {
    {"IoSetDeviceInterfacePropertyData", 6, 2},
    {"IoGetDeviceInterfacePropertyData", 6, 2},
};

bool OlderThan(const OsVersion& version, ULONG major, ULONG minor) {
    return version.major < major || (version.major == major && version.minor < minor);
}

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

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    if (SystemRoutineName == nullptr) {
        host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0,
                       0, 0, "MmGetSystemRoutineAddress with a null name");
    }
    const std::string name = host::ToUtf8(host::FromUnicodeString(SystemRoutineName));
    const host::OsVersion& version = host::Machine::Current().Get<host::OsVersion>();
    for (const host::LaterRoutine& later : host::LaterRoutines) {
        if (name == later.name && host::OlderThan(version, later.major, later.minor)) {
            return nullptr;
        }
    }
    // What the kernel and the HAL export, as a driver image would bind them.
    for (const char* module : {"ntoskrnl.exe", "HAL.dll"}) {
        if (void* routine = host::FindImageExport(*host::FindImageModule(module), name)) {
            return routine;
        }
    }
    return nullptr;
}
