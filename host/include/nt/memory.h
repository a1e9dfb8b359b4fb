// Memory manager: memory descriptor lists over physical pages, page allocation for MDLs and the
// mapping of locked pages into system space or a user process. Names, values and the x64 MDL
// layout follow the Windows headers; host/kernel/Memory*.cpp implements them over real pages.
#pragma once
#include "kernel.h"

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

// The header of a memory descriptor list; the page frame numbers follow it in memory.
typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size; // bytes of the header plus the page frame array
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

static_assert(sizeof(MDL) == 48, "MDL is 48 bytes on x64");
static_assert(__builtin_offsetof(MDL, MappedSystemVa) == 24, "MDL.MappedSystemVa at 24 on x64");
static_assert(__builtin_offsetof(MDL, ByteCount) == 40, "MDL.ByteCount at 40 on x64");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_INTERNAL 0x8000

typedef enum _MEMORY_CACHING_TYPE {
    MmNotMapped = -1,
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmFrameBufferCached = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6,
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32,
} MM_PAGE_PRIORITY;

// Flags that may be combined with a page priority.
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

// Flags of MmAllocatePagesForMdlEx.
#define MM_DONT_ZERO_ALLOCATION 0x00000001
#define MM_ALLOCATE_FROM_LOCAL_NODE_ONLY 0x00000002
#define MM_ALLOCATE_FULLY_REQUIRED 0x00000004
#define MM_ALLOCATE_NO_WAIT 0x00000008

typedef struct _IRP* PIRP;

#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~((ULONG_PTR)PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~((ULONG_PTR)PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)                                                   \
    ((BYTE_OFFSET(Va) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)

#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))

EXTERN_C NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                                      PHYSICAL_ADDRESS HighAddress,
                                                      PHYSICAL_ADDRESS SkipBytes,
                                                      SIZE_T TotalBytes);
EXTERN_C NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress,
                                                        PHYSICAL_ADDRESS HighAddress,
                                                        PHYSICAL_ADDRESS SkipBytes,
                                                        SIZE_T TotalBytes,
                                                        MEMORY_CACHING_TYPE CacheType, ULONG Flags);
EXTERN_C NTKERNELAPI VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList);

EXTERN_C NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length,
                                              BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                                              PIRP Irp);
EXTERN_C NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);
EXTERN_C NTKERNELAPI VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl,
                                                  PVOID VirtualAddress, ULONG Length);

EXTERN_C NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(
    PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
    PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
EXTERN_C NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

// The system-space address of an MDL's pages, mapping them on first use.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}
