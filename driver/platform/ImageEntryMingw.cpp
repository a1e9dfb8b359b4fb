// The entry point of the mingw-w64 image: draws the stack protector's cookie, then runs
// DriverEntry, as the entry MSVC's kernel library supplies does for its own cookie.
#include "StackCookie.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

// Not guarded itself: the cookie changes during its run.
extern "C" __attribute__((no_stack_protector)) NTSTATUS NTAPI
ImageEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    InitializeStackCookie();
    return DriverEntry(driverObject, registryPath);
}
