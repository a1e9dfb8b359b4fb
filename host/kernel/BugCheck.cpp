// KeBugCheckEx and the host's own refusals. A bug check prints the stop code, its name, the
// parameters, an explanation and the calling stack, then ends the process: a test that expects
// one uses a death test.
#include "BugCheck.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <ntddk.h>

#include "ImageUnwind.h"

namespace host {

const char* BugCheckName(unsigned code) {
    switch (code) {
    case IRQL_NOT_GREATER_OR_EQUAL:
        return "IRQL_NOT_GREATER_OR_EQUAL";
    case IRQL_NOT_LESS_OR_EQUAL:
        return "IRQL_NOT_LESS_OR_EQUAL";
    case NO_MORE_IRP_STACK_LOCATIONS:
        return "NO_MORE_IRP_STACK_LOCATIONS";
    case SPIN_LOCK_ALREADY_OWNED:
        return "SPIN_LOCK_ALREADY_OWNED";
    case SPIN_LOCK_NOT_OWNED:
        return "SPIN_LOCK_NOT_OWNED";
    case THREAD_NOT_MUTEX_OWNER:
        return "THREAD_NOT_MUTEX_OWNER";
    case KMODE_EXCEPTION_NOT_HANDLED:
        return "KMODE_EXCEPTION_NOT_HANDLED";
    case MULTIPLE_IRP_COMPLETE_REQUESTS:
        return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case BAD_POOL_CALLER:
        return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION:
        return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case DRIVER_IRQL_NOT_LESS_OR_EQUAL:
        return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS:
        return "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
    case NO_MORE_SYSTEM_PTES:
        return "NO_MORE_SYSTEM_PTES";
    case DRIVER_OVERRAN_STACK_BUFFER:
        return "DRIVER_OVERRAN_STACK_BUFFER";
    case TARGET_MDL_TOO_SMALL:
        return "TARGET_MDL_TOO_SMALL";
    case INVALID_PROCESS_ATTACH_ATTEMPT:
        return "INVALID_PROCESS_ATTACH_ATTEMPT";
    case INVALID_PROCESS_DETACH_ATTEMPT:
        return "INVALID_PROCESS_DETACH_ATTEMPT";
    case REFERENCE_BY_POINTER:
        return "REFERENCE_BY_POINTER";
    case INVALID_KERNEL_HANDLE:
        return "INVALID_KERNEL_HANDLE";
    default:
        return "UNKNOWN";
    }
}

void BugCheck(unsigned code, unsigned long long p1, unsigned long long p2, unsigned long long p3,
              unsigned long long p4, const std::string& explanation) {
    std::fprintf(stderr, "\n*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n*** %s: %s\n", code,
                 p1, p2, p3, p4, BugCheckName(code), explanation.c_str());
    // Frames of a Windows-built image are walked through its own unwind data, so the report
    // shows the image's routines between the host's.
    for (const std::string& frame : DescribeMixedStack(1)) {
        std::fprintf(stderr, "    %s\n", frame.c_str());
    }
    std::fflush(stderr);
    _exit(3);
}

} // namespace host

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2,
                                   ULONG_PTR Parameter3, ULONG_PTR Parameter4) {
    host::BugCheck(BugCheckCode, Parameter1, Parameter2, Parameter3, Parameter4,
                   "KeBugCheckEx called by the driver");
}
