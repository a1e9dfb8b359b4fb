// MSVC implementation of MapLockedPagesGuarded (GuardedMapping.h): the compiler's own
// structured exception handling. Built only by MSVC; mingw-w64 uses GuardedMappingMingw.S.
#include "GuardedMapping.h"

#if defined(_MSC_VER)

EXTERN_C NTSTATUS NTAPI MapLockedPagesGuarded(PMDL memoryDescriptorList, KPROCESSOR_MODE accessMode,
                                              MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress,
                                              ULONG bugCheckOnFailure, ULONG priority,
                                              PVOID* mappedAddress) {
    *mappedAddress = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        *mappedAddress = MmMapLockedPagesSpecifyCache(memoryDescriptorList, accessMode, cacheType,
                                                      requestedAddress, bugCheckOnFailure,
                                                      static_cast<MM_PAGE_PRIORITY>(priority));
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

#endif
