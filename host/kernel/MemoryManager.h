// The machine's memory manager: one memory file holds every physical page, MDLs are tracked
// from allocation to free, and every mapping is a fresh view of the same file pages, so a write
// through one view is visible through all the others.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CallStack.h"
#include "Machine.h"
#include "Memory.h"

namespace host {

// Who asked for a resource: the kernel routine and its caller's stack.
struct CallSite {
    CallSite(const char* routine, const void* caller)
        : routine(routine), stack(CaptureCallStack(caller, 8)) {}
    const char* routine;
    CallStack stack;
    // "IoAllocateMdl called from Caller+0x1c <- ItsCaller+0x40 <- ..."
    std::string Describe() const;
};

// A pending injected failure: it fires after `skip` more calls have gone through.
struct Injection {
    bool armed = false;
    unsigned skip = 0;
    bool Fires();
};

class MemoryManager : public Subsystem {
public:
    static constexpr PFN_NUMBER FirstPageFrame = 0x100; // physical memory starts at 1 MiB
    static constexpr std::size_t CapacityPages = 65536; // 256 MiB of physical memory
    static constexpr ULONG MdlPoolTag = 0x206C644D;     // 'Mdl ': the pool blocks MDLs live in

    MemoryManager();
    ~MemoryManager() override;
    void Verify(std::vector<std::string>& problems) override;

    static MemoryManager& Current() { return Machine::Current().Get<MemoryManager>(); }

    // Chooses page frames for an allocation and records them under mdl (which the caller
    // allocated and fills). Returns the frames; fewer than asked when memory or the injected
    // limit runs short.
    std::vector<PFN_NUMBER> AllocateFrames(ULONGLONG lowAddress, ULONGLONG highAddress,
                                           std::size_t pages);
    // Gives back frames that AllocateFrames chose but no MDL took.
    void ReturnFrames(const std::vector<PFN_NUMBER>& frames);
    void RecordPageMdl(PMDL mdl, std::vector<PFN_NUMBER> frames, const CallSite& site);
    // Returns the frames of a page MDL to the free memory; bug-checks for any other MDL. The MDL
    // itself stays known until ExFreePool gives its storage back.
    void FreePages(PMDL mdl, const CallSite& site);
    // The pool gave back a block with the MDL tag: if it was an MDL, checks it was freed the way
    // its kind must be (a page MDL by ExFreePool after MmFreePagesFromMdl; an IoAllocateMdl MDL
    // only by IoFreeMdl) and forgets it.
    void MdlStorageFreed(void* block, const CallSite& site);

    void RecordIoMdl(PMDL mdl, const CallSite& site);
    // Forgets an MDL made by IoAllocateMdl (unmapping a partial MDL's system views as Windows
    // does). False when mdl is not one: the caller hands it back to the pool as it is.
    bool ForgetIoMdl(PMDL mdl, const CallSite& site);

    // Maps mdl's pages; on failure returns null with *raised set when the failure raises.
    void* Map(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress,
              ULONG bugCheckOnFailure, ULONG priority, const CallSite& site, NTSTATUS* raised);
    void Unmap(PVOID address, PMDL mdl, const CallSite& site);

    // Host controls (Memory.h).
    Injection userMappingFailure;
    MappingFailure userMappingHow = MappingFailure::Raise;
    NTSTATUS userMappingStatus = STATUS_INSUFFICIENT_RESOURCES;
    Injection systemMappingFailure;
    Injection pageLimit;
    std::size_t pageLimitPages = 0;
    bool views32BitHigh = false;

    std::vector<MappingInfo> LiveMappings(Process* process);
    std::optional<MappingInfo> FindMapping(const void* address);
    std::size_t AllocatedPageCount();
    void ReleaseProcessMappings(Process* process);

    std::mutex lock;

private:
    struct MdlRecord {
        bool ownsPages;                 // from MmAllocatePagesForMdl, else from IoAllocateMdl
        bool pagesFreed;                // MmFreePagesFromMdl gave the pages back
        std::vector<PFN_NUMBER> frames; // the pages it owns
        ULONG bytes;                    // its byte count when it was made
        CallSite site;
    };
    struct Mapping {
        void* view;       // start of the Linux mapping (page aligned)
        std::size_t span; // its length
        void* address;    // what the caller got: view plus the MDL's byte offset
        std::size_t bytes;
        PMDL mdl;
        bool mdlGone; // the MDL was freed under the mapping: never touch it again
        Process* process;
        std::string processName;
        KPROCESSOR_MODE mode;
        MEMORY_CACHING_TYPE cacheType;
        ULONG priority;
        std::vector<PFN_NUMBER> frames;
        CallSite site;
    };

    std::size_t IndexOf(PFN_NUMBER frame) const { return frame - FirstPageFrame; }
    bool FrameAllocated(PFN_NUMBER frame) const;
    void ReleaseFrames(const std::vector<PFN_NUMBER>& frames);
    std::vector<PFN_NUMBER> FramesOf(PMDL mdl, const CallSite& site) const;
    void* MapFrames(const std::vector<PFN_NUMBER>& frames, bool below4GiB, void* hint, int prot);
    void RemoveMapping(std::map<void*, Mapping>::iterator found);
    static MappingInfo InfoOf(const Mapping& mapping);
    static std::string Where(const Mapping& mapping);
    void UpdateSystemVa(PMDL mdl);

    int memoryFile = -1;
    std::vector<std::uint8_t> pageInUse;  // by page index
    std::vector<std::uint32_t> viewCount; // live mappings of each page
    std::map<PMDL, MdlRecord> mdls;
    std::map<void*, Mapping> mappings; // by the address handed out
    // Views that went with their process's address space, for the message of a later unmap.
    std::map<void*, std::string> exitedViews;
    std::vector<std::string> events; // protocol faults seen so far, reported by Verify
};

} // namespace host
