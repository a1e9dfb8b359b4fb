// Start-up and termination of the support library, and its view of the running kernel.
#pragma once
#include "platform/KernelHeaders.h"

// (major << 8) | minor of the running kernel.
const ULONG OsVersionVista = 0x0600;
const ULONG OsVersionWindows8 = 0x0602;

// Idempotent; false when the kernel is older than 5.1, has no performance counter, or the exit
// list cannot be allocated.
BOOLEAN LibraryStartup();
// The OS version word; 0 before a successful start-up.
ULONG GetOsVersion();
// Runs the image's static constructors (the driver defines none).
VOID RunStaticConstructors();
// Drains the exit list; safe when start-up failed or never ran.
VOID LibraryShutdown();
