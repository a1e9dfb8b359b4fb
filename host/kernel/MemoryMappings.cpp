// Views of MDL pages in system space and in user processes. Each view is its own mmap of the
// memory file's pages, so the views of one page alias each other as on Windows; a 32-bit
// process gets its views below 4 GiB.
#include "MemoryManager.h"

#include <cstdint>
#include <sys/mman.h>

#include "BugCheck.h"
#include "Irql.h"

namespace host {

namespace {

constexpr NTSTATUS StatusConflictingAddresses = NTSTATUS(0xC0000018L);

constexpr std::uintptr_t FourGiB = std::uintptr_t(1) << 32;

std::string Hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

void* MemoryManager::MapFrames(const std::vector<PFN_NUMBER>& frames, bool below4GiB, void* hint,
                               int prot) {
    std::size_t span = frames.size() * PAGE_SIZE;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    if (hint != nullptr) {
        flags |= MAP_FIXED_NOREPLACE;
    } else if (below4GiB) {
        flags |= MAP_32BIT;
    }
    void* reserved = mmap(hint, span, PROT_NONE, flags, -1, 0);
    if (reserved == MAP_FAILED) {
        return nullptr;
    }
    auto start = reinterpret_cast<std::uintptr_t>(reserved);
    if ((hint != nullptr && reserved != hint) || (below4GiB && start + span > FourGiB)) {
        munmap(reserved, span);
        return nullptr;
    }
    // Map each run of consecutive file pages over the reservation.
    for (std::size_t first = 0; first < frames.size();) {
        std::size_t count = 1;
        while (first + count < frames.size() && frames[first + count] == frames[first] + count) {
            ++count;
        }
        void* at = static_cast<char*>(reserved) + first * PAGE_SIZE;
        void* view = mmap(at, count * PAGE_SIZE, prot, MAP_SHARED | MAP_FIXED, memoryFile,
                          off_t(IndexOf(frames[first])) * PAGE_SIZE);
        if (view == MAP_FAILED) {
            munmap(reserved, span);
            return nullptr;
        }
        first += count;
    }
    return reserved;
}

void* MemoryManager::Map(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cacheType,
                         PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority,
                         const CallSite& site, NTSTATUS* raised) {
    *raised = STATUS_SUCCESS;
    if (mode != KernelMode && mode != UserMode) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1010, ULONG_PTR(mode), 0, 0,
                 site.Describe() + " with an access mode that is neither KernelMode nor UserMode");
    }
    RequireIrqlAtMost(mode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                      mode == KernelMode ? "MmMapLockedPagesSpecifyCache(KernelMode)"
                                         : "MmMapLockedPagesSpecifyCache(UserMode)");
    if (mdl == nullptr || (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL)) == 0) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1011, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                 site.Describe() + " with an MDL whose pages are not locked");
    }
    Process* process = nullptr;
    if (mode == UserMode) {
        process = CurrentProcess();
        if (process == nullptr) {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1012, reinterpret_cast<ULONG_PTR>(mdl),
                     0, 0, site.Describe() + " mapping into user space outside any user process");
        }
    } else if (requestedAddress != nullptr) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1013, reinterpret_cast<ULONG_PTR>(mdl),
                 reinterpret_cast<ULONG_PTR>(requestedAddress), 0,
                 site.Describe() + " with a requested address for a kernel-mode mapping");
    }

    std::lock_guard<std::mutex> hold(lock);
    std::vector<PFN_NUMBER> frames = FramesOf(mdl, site);
    void* view = nullptr;
    bool injected = mode == UserMode ? userMappingFailure.Fires() : systemMappingFailure.Fires();
    if (!injected) {
        int prot = PROT_READ | ((priority & MdlMappingNoWrite) != 0 ? 0 : PROT_WRITE);
        view =
            MapFrames(frames, process != nullptr && process->is32Bit && !views32BitHigh,
                      requestedAddress == nullptr ? nullptr : PAGE_ALIGN(requestedAddress), prot);
    }
    if (view == nullptr) {
        if (mode == UserMode) {
            if (injected && userMappingHow == MappingFailure::ReturnNull) {
                return nullptr;
            }
            *raised = injected                      ? userMappingStatus
                      : requestedAddress != nullptr ? StatusConflictingAddresses
                                                    : STATUS_INSUFFICIENT_RESOURCES;
            return nullptr;
        }
        if (bugCheckOnFailure) {
            BugCheck(NO_MORE_SYSTEM_PTES, 0, frames.size(), 0, 0,
                     site.Describe() + " could not map the MDL and BugCheckOnFailure was set");
        }
        return nullptr;
    }

    void* address = static_cast<char*>(view) + mdl->ByteOffset;
    exitedViews.erase(address);
    Mapping mapping{view,     frames.size() * PAGE_SIZE,
                    address,  mdl->ByteCount,
                    mdl,      false,
                    process,  process != nullptr ? process->name : std::string(),
                    mode,     cacheType,
                    priority, frames,
                    site};
    mappings.emplace(address, std::move(mapping));
    for (PFN_NUMBER frame : frames) {
        ++viewCount[IndexOf(frame)];
    }
    if (mode == KernelMode) {
        mdl->MappedSystemVa = address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        if ((mdl->MdlFlags & MDL_PARTIAL) != 0) {
            mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
        }
    }
    return address;
}

void MemoryManager::Unmap(PVOID address, PMDL mdl, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = mappings.find(address);
    if (found == mappings.end()) {
        auto gone = exitedViews.find(address);
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1020, reinterpret_cast<ULONG_PTR>(address),
                 reinterpret_cast<ULONG_PTR>(mdl), 0,
                 site.Describe() + " with " + Hex(reinterpret_cast<std::uintptr_t>(address)) +
                     (gone != exitedViews.end()
                          ? ", a view in process '" + gone->second +
                                "', which has exited: its address space is gone"
                          : ", which no mapping call returned (or which is already unmapped)"));
    }
    Mapping& mapping = found->second;
    RequireIrqlAtMost(mapping.mode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                      mapping.mode == KernelMode ? "MmUnmapLockedPages(system address)"
                                                 : "MmUnmapLockedPages(user address)");
    if (mapping.mdl != mdl) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1021, reinterpret_cast<ULONG_PTR>(address),
                 reinterpret_cast<ULONG_PTR>(mdl), reinterpret_cast<ULONG_PTR>(mapping.mdl),
                 site.Describe() + " with another MDL than the one that was mapped there");
    }
    if (mapping.process != nullptr && mapping.process != CurrentProcess()) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1022, reinterpret_cast<ULONG_PTR>(address),
                 reinterpret_cast<ULONG_PTR>(mdl), 0,
                 site.Describe() + " for a view in process '" + mapping.processName +
                     "' while running in the context of another process");
    }
    RemoveMapping(found);
}

void MemoryManager::RemoveMapping(std::map<void*, Mapping>::iterator found) {
    Mapping& mapping = found->second;
    munmap(mapping.view, mapping.span);
    for (PFN_NUMBER frame : mapping.frames) {
        --viewCount[IndexOf(frame)];
    }
    PMDL mdl = mapping.mode == KernelMode && !mapping.mdlGone ? mapping.mdl : nullptr;
    mappings.erase(found);
    if (mdl != nullptr) {
        UpdateSystemVa(mdl);
    }
}

void MemoryManager::UpdateSystemVa(PMDL mdl) {
    // Another system view of the same MDL, if one is left, stays its system address.
    for (const auto& entry : mappings) {
        if (entry.second.mdl == mdl && entry.second.mode == KernelMode) {
            mdl->MappedSystemVa = entry.second.address;
            return;
        }
    }
    mdl->MappedSystemVa = nullptr;
    mdl->MdlFlags &= ~CSHORT(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

MappingInfo MemoryManager::InfoOf(const Mapping& mapping) {
    return MappingInfo{mapping.address,  mapping.bytes,          mapping.mdl,
                       mapping.process,  mapping.mode,           mapping.cacheType,
                       mapping.priority, mapping.site.Describe()};
}

std::vector<MappingInfo> MemoryManager::LiveMappings(Process* process) {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<MappingInfo> result;
    for (const auto& entry : mappings) {
        if (entry.second.process == process) {
            result.push_back(InfoOf(entry.second));
        }
    }
    return result;
}

std::optional<MappingInfo> MemoryManager::FindMapping(const void* address) {
    std::lock_guard<std::mutex> hold(lock);
    auto at = reinterpret_cast<std::uintptr_t>(address);
    for (const auto& entry : mappings) {
        auto start = reinterpret_cast<std::uintptr_t>(entry.second.view);
        if (at >= start && at < start + entry.second.span) {
            return InfoOf(entry.second);
        }
    }
    return std::nullopt;
}

void MemoryManager::ReleaseProcessMappings(Process* process) {
    std::lock_guard<std::mutex> hold(lock);
    for (auto entry = mappings.begin(); entry != mappings.end();) {
        auto current = entry++;
        if (process == nullptr || current->second.process != process) {
            continue;
        }
        exitedViews[current->second.address] = current->second.processName;
        RemoveMapping(current);
    }
}

// ---- The host API of Memory.h ----

void FailUserMapping(MappingFailure how, NTSTATUS raisedStatus, unsigned skip) {
    MemoryManager& manager = MemoryManager::Current();
    std::lock_guard<std::mutex> hold(manager.lock);
    manager.userMappingFailure = Injection{true, skip};
    manager.userMappingHow = how;
    manager.userMappingStatus = raisedStatus;
}

void FailSystemMapping(unsigned skip) {
    MemoryManager& manager = MemoryManager::Current();
    std::lock_guard<std::mutex> hold(manager.lock);
    manager.systemMappingFailure = Injection{true, skip};
}

void LimitPageAllocation(SIZE_T bytes, unsigned skip) {
    MemoryManager& manager = MemoryManager::Current();
    std::lock_guard<std::mutex> hold(manager.lock);
    manager.pageLimit = Injection{true, skip};
    manager.pageLimitPages = bytes / PAGE_SIZE;
}

void PlaceViewsOf32BitProcessesHigh(bool high) {
    MemoryManager& manager = MemoryManager::Current();
    std::lock_guard<std::mutex> hold(manager.lock);
    manager.views32BitHigh = high;
}

void ClearMemoryFaults() {
    MemoryManager& manager = MemoryManager::Current();
    std::lock_guard<std::mutex> hold(manager.lock);
    manager.userMappingFailure = Injection{};
    manager.systemMappingFailure = Injection{};
    manager.pageLimit = Injection{};
}

std::vector<MappingInfo> LiveMappings(Process* process) {
    return MemoryManager::Current().LiveMappings(process);
}

std::optional<MappingInfo> FindMapping(const void* address) {
    return MemoryManager::Current().FindMapping(address);
}

std::size_t AllocatedPageCount() {
    return MemoryManager::Current().AllocatedPageCount();
}

void ReleaseProcessMappings(Process* process) {
    MemoryManager::Current().ReleaseProcessMappings(process);
}

} // namespace host
