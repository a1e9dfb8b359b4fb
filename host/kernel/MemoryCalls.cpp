// The memory manager's exported routines: page allocation for MDLs, MDL allocation and partial
// MDLs, mapping and unmapping, and the guarded user mapping that the driver's platform layer
// calls. MDLs live in the pool, so a leaked one also shows in the pool's leak report.
#include <cstring>

#include "../../driver/platform/GuardedMapping.h"
#include "BugCheck.h"
#include "ImageExceptions.h"
#include "Irql.h"
#include "MemoryManager.h"

namespace {

using host::CallSite;
using host::MemoryManager;

constexpr ULONG MdlPoolTag = MemoryManager::MdlPoolTag;
// The most pages an MDL can describe: its Size field is a CSHORT.
constexpr std::size_t MaximumMdlPages = (0x7FFF - sizeof(MDL)) / sizeof(PFN_NUMBER);

PMDL AllocateMdlStorage(std::size_t pages) {
    std::size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, MdlPoolTag));
    if (mdl != nullptr) {
        std::memset(mdl, 0, bytes);
        mdl->Size = CSHORT(bytes);
    }
    return mdl;
}

PMDL AllocatePages(PHYSICAL_ADDRESS low, PHYSICAL_ADDRESS high, SIZE_T totalBytes, ULONG flags,
                   const CallSite& site) {
    host::RequireIrqlAtMost(APC_LEVEL, site.routine);
    if (totalBytes == 0 || ULONGLONG(high.QuadPart) < ULONGLONG(low.QuadPart)) {
        return nullptr;
    }
    std::size_t wanted = BYTES_TO_PAGES(totalBytes);
    std::size_t pages = wanted < MaximumMdlPages ? wanted : MaximumMdlPages;
    MemoryManager& manager = MemoryManager::Current();
    std::vector<PFN_NUMBER> frames =
        manager.AllocateFrames(ULONGLONG(low.QuadPart), ULONGLONG(high.QuadPart), pages);
    bool complete = frames.size() == wanted;
    if (frames.empty() || (!complete && (flags & MM_ALLOCATE_FULLY_REQUIRED) != 0)) {
        manager.ReturnFrames(frames);
        return nullptr;
    }
    PMDL mdl = AllocateMdlStorage(frames.size());
    if (mdl == nullptr) {
        manager.ReturnFrames(frames);
        return nullptr;
    }
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    // A full allocation keeps the byte count asked for; a short one counts whole pages.
    mdl->ByteCount = complete ? ULONG(totalBytes) : ULONG(frames.size() * PAGE_SIZE);
    std::memcpy(MmGetMdlPfnArray(mdl), frames.data(), frames.size() * sizeof(PFN_NUMBER));
    manager.RecordPageMdl(mdl, std::move(frames), site);
    return mdl;
}

} // namespace

extern "C" __attribute__((noinline)) PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                                                      PHYSICAL_ADDRESS HighAddress,
                                                                      PHYSICAL_ADDRESS SkipBytes,
                                                                      SIZE_T TotalBytes) {
    // Skip bytes only say where Windows looks next in a sparse range; one range needs none.
    (void)SkipBytes;
    return AllocatePages(LowAddress, HighAddress, TotalBytes, 0,
                         CallSite{"MmAllocatePagesForMdl", __builtin_return_address(0)});
}

extern "C" __attribute__((noinline)) PMDL NTAPI MmAllocatePagesForMdlEx(
    PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
    SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType, ULONG Flags) {
    (void)SkipBytes;
    (void)CacheType; // the mapping's cache type is what the host records
    return AllocatePages(LowAddress, HighAddress, TotalBytes, Flags,
                         CallSite{"MmAllocatePagesForMdlEx", __builtin_return_address(0)});
}

extern "C" __attribute__((noinline)) VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
    CallSite site{"MmFreePagesFromMdl", __builtin_return_address(0)};
    host::RequireIrqlAtMost(DISPATCH_LEVEL, site.routine);
    MemoryManager::Current().FreePages(MemoryDescriptorList, site);
}

extern "C" __attribute__((noinline)) PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length,
                                                              BOOLEAN SecondaryBuffer,
                                                              BOOLEAN ChargeQuota, PIRP Irp) {
    CallSite site{"IoAllocateMdl", __builtin_return_address(0)};
    host::RequireIrqlAtMost(DISPATCH_LEVEL, site.routine);
    (void)SecondaryBuffer; // only meaningful with an IRP
    (void)ChargeQuota;     // obsolete
    if (Irp != nullptr) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1030, reinterpret_cast<ULONG_PTR>(Irp),
                       0, 0,
                       site.Describe() + " with an IRP: the host does not chain MDLs to IRPs");
    }
    std::size_t pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
    if (Length == 0 || pages > MaximumMdlPages) {
        return nullptr;
    }
    PMDL mdl = AllocateMdlStorage(pages);
    if (mdl == nullptr) {
        return nullptr;
    }
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    MemoryManager::Current().RecordIoMdl(mdl, site);
    return mdl;
}

extern "C" __attribute__((noinline)) VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CallSite site{"IoFreeMdl", __builtin_return_address(0)};
    host::RequireIrqlAtMost(DISPATCH_LEVEL, site.routine);
    if (Mdl == nullptr) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1031, 0, 0, 0,
                       site.Describe() + " with a null MDL");
    }
    // Forgotten first (a page MDL here is reported), so that the pool's free below finds no
    // MDL left to check.
    MemoryManager::Current().ForgetIoMdl(Mdl, site);
    ExFreePoolWithTag(Mdl, MdlPoolTag);
}

extern "C" __attribute__((noinline)) VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl,
                                                                  PVOID VirtualAddress,
                                                                  ULONG Length) {
    CallSite site{"IoBuildPartialMdl", __builtin_return_address(0)};
    host::RequireIrqlAtMost(DISPATCH_LEVEL, site.routine);
    auto sourceStart = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(SourceMdl));
    ULONG_PTR sourceEnd = sourceStart + SourceMdl->ByteCount;
    auto start = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    if (start < sourceStart || start >= sourceEnd) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1032, start, sourceStart, sourceEnd,
                       site.Describe() + " with an address outside the source MDL");
    }
    ULONG_PTR length = Length != 0 ? Length : sourceEnd - start;
    if (length > sourceEnd - start) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1033, start, length, sourceEnd,
                       site.Describe() + " for " + std::to_string(length) +
                           " bytes, reaching beyond the end of the source MDL");
    }
    std::size_t pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, length);
    std::size_t room = (std::size_t(TargetMdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER);
    if (std::size_t(TargetMdl->Size) < sizeof(MDL) || pages > room) {
        host::BugCheck(TARGET_MDL_TOO_SMALL, reinterpret_cast<ULONG_PTR>(SourceMdl),
                       reinterpret_cast<ULONG_PTR>(TargetMdl), pages, 0, site.Describe());
    }
    if ((TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1034,
                       reinterpret_cast<ULONG_PTR>(TargetMdl), 0, 0,
                       site.Describe() + " reusing a target MDL whose system view still exists");
    }
    std::size_t firstPage = (reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(start)) -
                             reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(sourceStart))) /
                            PAGE_SIZE;
    std::memcpy(MmGetMdlPfnArray(TargetMdl), MmGetMdlPfnArray(SourceMdl) + firstPage,
                pages * sizeof(PFN_NUMBER));
    constexpr CSHORT kept = MDL_ALLOCATED_FIXED_SIZE | MDL_PAGE_CONTENTS_INVARIANT;
    constexpr CSHORT inherited = MDL_IO_PAGE_READ | MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_SPACE;
    TargetMdl->MdlFlags =
        CSHORT((TargetMdl->MdlFlags & kept) | (SourceMdl->MdlFlags & inherited) | MDL_PARTIAL);
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->StartVa = PAGE_ALIGN(start);
    TargetMdl->ByteOffset = BYTE_OFFSET(start);
    TargetMdl->ByteCount = ULONG(length);
    TargetMdl->MappedSystemVa =
        (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0
            ? static_cast<char*>(SourceMdl->MappedSystemVa) + (start - sourceStart)
            : nullptr;
}

extern "C" __attribute__((noinline)) PVOID NTAPI MmMapLockedPagesSpecifyCache(
    PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
    PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) {
    CallSite site{"MmMapLockedPagesSpecifyCache", __builtin_return_address(0)};
    NTSTATUS raised = STATUS_SUCCESS;
    PVOID address =
        MemoryManager::Current().Map(MemoryDescriptorList, AccessMode, CacheType, RequestedAddress,
                                     BugCheckOnFailure, Priority, site, &raised);
    if (raised != STATUS_SUCCESS) {
        // A Windows-built image catches the raise with its own handler, as on Windows.
        if (host::RaiseInImageCaller(__builtin_frame_address(0), __builtin_return_address(0),
                                     raised)) {
            return nullptr;
        }
        host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, ULONG(raised), 0, 0, 0,
                       site.Describe() +
                           " raised an exception that nothing caught; a user-mode mapping must be "
                           "made through MapLockedPagesGuarded");
    }
    return address;
}

extern "C" __attribute__((noinline)) VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress,
                                                                   PMDL MemoryDescriptorList) {
    CallSite site{"MmUnmapLockedPages", __builtin_return_address(0)};
    MemoryManager::Current().Unmap(BaseAddress, MemoryDescriptorList, site);
}

extern "C" __attribute__((noinline)) NTSTATUS NTAPI MapLockedPagesGuarded(
    PMDL memoryDescriptorList, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
    PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority, PVOID* mappedAddress) {
    CallSite site{"MmMapLockedPagesSpecifyCache", __builtin_return_address(0)};
    NTSTATUS raised = STATUS_SUCCESS;
    *mappedAddress =
        MemoryManager::Current().Map(memoryDescriptorList, accessMode, cacheType, requestedAddress,
                                     bugCheckOnFailure, priority, site, &raised);
    return raised;
}
