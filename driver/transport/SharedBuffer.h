// One page-backed region that the driver shares with its client: the pages (an MDL), their
// system mapping, and their mapping in the client's process while a client has the file open.
#pragma once

#include "platform/KernelHeaders.h"

struct SharedBuffer {
    PMDL mdl;            // owns the physical pages; null while the region does not exist
    PVOID systemAddress; // kernel mapping of the whole region; null while unmapped
    PVOID clientAddress; // mapping in the client's process; null while not mapped
};

class TransportEndpoint;

// Allocates and maps in system space the data buffer and then the control block of endpoint.
// STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES. Takes the endpoint lock itself.
NTSTATUS AllocateSharedMemory(TransportEndpoint* endpoint);
// Unmaps and frees both regions; the client mappings are gone by then. Takes the endpoint lock.
VOID FreeSharedMemory(TransportEndpoint* endpoint);
// Map a region into the process the current request runs in. The caller holds the endpoint
// lock. STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, or the code the mapping raised.
NTSTATUS MapControlBlockToClient(TransportEndpoint* endpoint);
NTSTATUS MapDataBufferToClient(TransportEndpoint* endpoint);
// Removes the client mapping of region (if any) from the current process. The caller holds the
// endpoint lock.
VOID UnmapFromClient(SharedBuffer* region);
// Removes both client views from the address space they were made in: directly in the owner's
// context, attached to the owner from elsewhere while its address space exists, and not at all
// once the owner has exited (its views went with its address space). The caller holds the
// endpoint lock.
VOID ReleaseClientViews(TransportEndpoint* endpoint);

// MdlMappingNoExecute from Windows 8 on, as the pool's no-execute choice.
ULONG SharedMappingPriority();
