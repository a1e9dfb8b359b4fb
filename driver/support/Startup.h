// Start-up and termination of the support library, and its view of the running kernel.
#pragma once
#include "platform/KernelHeaders.h"
#include "Lists.h"

// (major << 8) | minor of the running kernel.
const ULONG OsVersionVista = 0x0600;
const ULONG OsVersionWindows8 = 0x0602;

// Callbacks run by LibraryShutdown, first registered first. Entries come from AllocateMemory and
// are freed by the shutdown; the driver registers none.
typedef VOID (*ExitCallback)();
struct ExitEntry {
    ListNode node; // first, so that a node pointer is the entry pointer
    ExitCallback callback;
};
// Allocated by a successful start-up; null before it, after a failed start-up and after shutdown.
extern List* ExitList;

// One line naming the library, its version and build width; carried in the image, never printed.
extern const WCHAR VersionBanner[];

// Idempotent; false when the kernel is older than 5.1, has no performance counter, or the exit
// list cannot be allocated.
BOOLEAN LibraryStartup();
// The OS version word; 0 before a successful start-up.
ULONG GetOsVersion();
// Runs the image's static constructors (the driver defines none).
VOID RunStaticConstructors();
// Adds a callback for LibraryShutdown to run; false before start-up or when out of memory.
BOOLEAN RegisterExitCallback(ExitCallback callback);
// Drains the exit list; safe when start-up failed or never ran.
VOID LibraryShutdown();
