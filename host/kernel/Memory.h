// The host's controls over and views into the memory manager: failure injection for page
// allocation and mappings, the live mappings of a process or of system space, and the clean-up
// of a process's mappings when it ends.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Process.h"

namespace host {

// The two ways Windows reports a failed user-mode mapping.
enum class MappingFailure {
    Raise,      // a structured exception with the given status (the guarded wrapper returns it)
    ReturnNull, // null, without raising
};

// After `skip` user-mode mappings have succeeded, the next one fails as `how` says.
void FailUserMapping(MappingFailure how, NTSTATUS raisedStatus = STATUS_INSUFFICIENT_RESOURCES,
                     unsigned skip = 0);

// After `skip` kernel-mode mappings have succeeded, the next one returns null (or bug-checks, if
// its caller asked for that).
void FailSystemMapping(unsigned skip = 0);

// After `skip` page allocations, the next one gets at most `bytes` (whole pages); 0 makes it
// return no MDL at all.
void LimitPageAllocation(SIZE_T bytes, unsigned skip = 0);

// Places the user views of 32-bit processes above 4 GiB (where such a process cannot reach
// them), so that a driver's check of the addresses it hands a 32-bit client can be proven.
void PlaceViewsOf32BitProcessesHigh(bool high);

// Forgets every pending injection.
void ClearMemoryFaults();

struct MappingInfo {
    void* address;        // what the mapping call returned (the MDL's first byte)
    std::size_t bytes;    // the MDL's byte count when it was mapped
    PMDL mdl;             // the MDL that was mapped
    Process* process;     // null for system space
    KPROCESSOR_MODE mode; // KernelMode or UserMode
    MEMORY_CACHING_TYPE cacheType;
    ULONG priority;     // the page priority with its flags (MdlMappingNoExecute ...)
    std::string madeBy; // the routine that asked for the mapping
};

// The live mappings of process (null: system space), oldest first.
std::vector<MappingInfo> LiveMappings(Process* process);

// The live mapping that contains address, if any.
std::optional<MappingInfo> FindMapping(const void* address);

// Pages currently allocated to MDLs.
std::size_t AllocatedPageCount();

// Called when process ends, after its handles are closed: removes every mapping still in its
// address space, as the address space goes. The views stay listed as gone, so that a later
// unmap of one is refused as an unmap of a view no mapping call returned.
void ReleaseProcessMappings(Process* process);

} // namespace host
