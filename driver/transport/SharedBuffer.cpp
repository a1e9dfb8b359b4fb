// Allocation, system mapping and client mapping of the two regions each direction shares with
// its client: the 524,288-byte data buffer and the 196-byte control block.
#include "SharedBuffer.h"

#include "platform/GuardedMapping.h"
#include "support/Startup.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"
#include "transport/TransportProtocol.h"

namespace {

VOID ReleaseRegion(SharedBuffer* region) {
    if (region->mdl == nullptr) {
        return;
    }
    if (region->systemAddress != nullptr) {
        MmUnmapLockedPages(region->systemAddress, region->mdl);
        region->systemAddress = nullptr;
    }
    // An MDL from MmAllocatePagesForMdl is not IoAllocateMdl's: its pages go back first, then
    // the MDL itself to the pool.
    MmFreePagesFromMdl(region->mdl);
    ExFreePool(region->mdl);
    region->mdl = nullptr;
}

// Pages anywhere in physical memory, zero-filled by the allocator, mapped into system space.
// A region with fewer bytes than asked is a failure, not a smaller region.
NTSTATUS AllocateRegion(SharedBuffer* region, ULONG bytes) {
    PHYSICAL_ADDRESS lowest;
    PHYSICAL_ADDRESS highest;
    PHYSICAL_ADDRESS skip;
    lowest.QuadPart = 0;
    highest.QuadPart = -1;
    skip.QuadPart = 0;

    region->mdl = MmAllocatePagesForMdl(lowest, highest, skip, bytes);
    if (region->mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (MmGetMdlByteCount(region->mdl) < bytes) {
        ReleaseRegion(region);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    region->systemAddress =
        MmMapLockedPagesSpecifyCache(region->mdl, KernelMode, MmCached, nullptr, FALSE,
                                     static_cast<MM_PAGE_PRIORITY>(SharedMappingPriority()));
    if (region->systemAddress == nullptr) {
        ReleaseRegion(region);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MapRegionToClient(SharedBuffer* region) {
    PVOID address = nullptr;
    NTSTATUS status = MapLockedPagesGuarded(region->mdl, UserMode, MmCached, nullptr, FALSE,
                                            SharedMappingPriority(), &address);
    if (NT_SUCCESS(status) && address == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        UnmapFromClient(region);
        return status;
    }
    region->clientAddress = address;
    return STATUS_SUCCESS;
}

// Whether process has exited. A process object is signalled when its process ends, after its
// handles are closed and its memory is gone; a zero time-out polls that without waiting.
bool HasExited(PEPROCESS process) {
    HANDLE handle = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, SYNCHRONIZE,
                                            *PsProcessType, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        // Cannot tell: the views stay where they are rather than be left mapped over pages
        // that are about to be freed.
        return false;
    }
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    const bool exited = ZwWaitForSingleObject(handle, FALSE, &noWait) == STATUS_SUCCESS;
    ZwClose(handle);
    return exited;
}

VOID ForgetClientView(SharedBuffer* region) {
    region->clientAddress = nullptr;
}

} // namespace

ULONG SharedMappingPriority() {
    ULONG priority = NormalPagePriority;
    if (GetOsVersion() >= OsVersionWindows8) {
        priority |= MdlMappingNoExecute;
    }
    return priority;
}

NTSTATUS AllocateSharedMemory(TransportEndpoint* endpoint) {
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    LockHolder held(lock);

    NTSTATUS status = AllocateRegion(&endpoint->dataBuffer, transport::DataBufferSize);
    if (NT_SUCCESS(status)) {
        endpoint->dataBufferBytes = MmGetMdlByteCount(endpoint->dataBuffer.mdl);
        status = AllocateRegion(&endpoint->controlBlock, transport::ControlBlockSize);
        if (NT_SUCCESS(status)) {
            endpoint->ControlBlock()->DataBufferBytes =
                static_cast<transport::u32>(endpoint->dataBufferBytes);
        }
    }

    return status;
}

VOID FreeSharedMemory(TransportEndpoint* endpoint) {
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    LockHolder held(lock);
    ReleaseRegion(&endpoint->dataBuffer);
    endpoint->dataBufferBytes = 0;
    ReleaseRegion(&endpoint->controlBlock);
}

NTSTATUS MapControlBlockToClient(TransportEndpoint* endpoint) {
    return MapRegionToClient(&endpoint->controlBlock);
}

NTSTATUS MapDataBufferToClient(TransportEndpoint* endpoint) {
    NTSTATUS status = MapRegionToClient(&endpoint->dataBuffer);
    endpoint->ControlBlock()->ClientDataAddress =
        NT_SUCCESS(status) ? reinterpret_cast<ULONG_PTR>(endpoint->dataBuffer.clientAddress) : 0;
    return status;
}

VOID UnmapFromClient(SharedBuffer* region) {
    if (region->clientAddress != nullptr) {
        MmUnmapLockedPages(region->clientAddress, region->mdl);
        region->clientAddress = nullptr;
    }
}

VOID ReleaseClientViews(TransportEndpoint* endpoint) {
    if (endpoint->controlBlock.clientAddress == nullptr &&
        endpoint->dataBuffer.clientAddress == nullptr) {
        return;
    }
    PEPROCESS owner = endpoint->clientProcess;
    // Asked first: whatever context this runs in, an exited owner's views are gone.
    if (HasExited(owner)) {
        ForgetClientView(&endpoint->dataBuffer);
        ForgetClientView(&endpoint->controlBlock);
    } else if (owner == PsGetCurrentProcess()) {
        UnmapFromClient(&endpoint->dataBuffer);
        UnmapFromClient(&endpoint->controlBlock);
    } else {
        // Unmapping always acts on the current address space: attach to the owner's first.
        KAPC_STATE attachState;
        KeStackAttachProcess(reinterpret_cast<PKPROCESS>(owner), &attachState);
        UnmapFromClient(&endpoint->dataBuffer);
        UnmapFromClient(&endpoint->controlBlock);
        KeUnstackDetachProcess(&attachState);
    }
}
