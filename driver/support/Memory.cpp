// The driver's two memory entry points and the pool routines behind them.
#include "Memory.h"
#include "Startup.h"

AllocateRoutineType AllocateRoutine = PoolAllocate;
FreeRoutineType FreeRoutine = PoolFree;
LowMemoryHandlerType LowMemoryHandler = nullptr;

PVOID AllocateMemory(ULONGLONG size) {
    for (;;) {
        PVOID block = AllocateRoutine(size, 0);
        if (block != nullptr) {
            return block;
        }
        // Without a handler there is nobody who could free memory, so retrying would only spin.
        if (LowMemoryHandler == nullptr || LowMemoryHandler(size) == 0) {
            return nullptr;
        }
    }
}

VOID FreeMemory(PVOID block) {
    if (block != nullptr) {
        FreeRoutine(block);
    }
}

PVOID PoolAllocate(ULONGLONG size, ULONG options) {
    UNREFERENCED_PARAMETER(options);
    // Kernels before Windows 8 do not know the no-execute pool type and would refuse it.
    POOL_TYPE type = GetOsVersion() >= OsVersionWindows8 ? NonPagedPoolNx : NonPagedPool;
    return ExAllocatePool(type, static_cast<SIZE_T>(size));
}

VOID PoolFree(PVOID block) {
    ExFreePool(block);
}
