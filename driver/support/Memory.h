// Every heap object of the driver is created and destroyed through these two entry points
// (the global operator new and delete map onto them). Blocks come from the non-paged pool:
// no-execute from Windows 8 (OS version word 0x0602) on.
#pragma once
#include "platform/KernelHeaders.h"

typedef PVOID (*AllocateRoutineType)(ULONGLONG size, ULONG options);
typedef VOID (*FreeRoutineType)(PVOID block);
// Returns nonzero to have the allocation tried again.
typedef LONG (*LowMemoryHandlerType)(ULONGLONG size);

// Routine slots: set before any allocation and never changed by the driver.
extern AllocateRoutineType AllocateRoutine;
extern FreeRoutineType FreeRoutine;
extern LowMemoryHandlerType LowMemoryHandler;

// A block of at least size bytes, not zeroed, or null.
PVOID AllocateMemory(ULONGLONG size);
// Frees a block from AllocateMemory; null is ignored.
VOID FreeMemory(PVOID block);

// The default routines, reached only through the slots.
PVOID PoolAllocate(ULONGLONG size, ULONG options);
VOID PoolFree(PVOID block);
