// Physical pages in one memory file, MDL bookkeeping and the verifier's view of both. Pages are
// zero when handed out: freed pages have their backing punched out of the file.
#include "MemoryManager.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "BugCheck.h"

namespace host {

namespace {

std::string Hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

} // namespace

std::string CallSite::Describe() const {
    // Three frames are enough to tell which driver path took the resource.
    std::string text = std::string(routine) + " called from ";
    for (std::size_t i = 0; i < stack.size() && i < 3; ++i) {
        text += (i == 0 ? "" : " <- ") + DescribeFrame(stack[i]);
    }
    return stack.empty() ? text + "an unknown caller" : text;
}

bool Injection::Fires() {
    if (!armed) {
        return false;
    }
    if (skip > 0) {
        --skip;
        return false;
    }
    armed = false;
    return true;
}

MemoryManager::MemoryManager() : pageInUse(CapacityPages), viewCount(CapacityPages) {
    memoryFile = memfd_create("conduit-physical-memory", MFD_CLOEXEC);
    if (memoryFile < 0 || ftruncate(memoryFile, off_t(CapacityPages) * PAGE_SIZE) != 0) {
        std::perror("host: cannot create the physical memory file");
        std::abort();
    }
}

MemoryManager::~MemoryManager() {
    for (auto& entry : mappings) {
        munmap(entry.second.view, entry.second.span);
    }
    close(memoryFile);
}

bool MemoryManager::FrameAllocated(PFN_NUMBER frame) const {
    return frame >= FirstPageFrame && IndexOf(frame) < CapacityPages && pageInUse[IndexOf(frame)];
}

std::vector<PFN_NUMBER> MemoryManager::AllocateFrames(ULONGLONG lowAddress, ULONGLONG highAddress,
                                                      std::size_t pages) {
    std::lock_guard<std::mutex> hold(lock);
    if (pageLimit.Fires() && pageLimitPages < pages) {
        pages = pageLimitPages;
    }
    std::vector<PFN_NUMBER> frames;
    for (std::size_t index = 0; index < CapacityPages && frames.size() < pages; ++index) {
        ULONGLONG physical = ULONGLONG(FirstPageFrame + index) * PAGE_SIZE;
        if (pageInUse[index] || physical < lowAddress || physical + PAGE_SIZE - 1 > highAddress) {
            continue;
        }
        pageInUse[index] = 1;
        frames.push_back(FirstPageFrame + index);
    }
    return frames;
}

void MemoryManager::ReleaseFrames(const std::vector<PFN_NUMBER>& frames) {
    for (PFN_NUMBER frame : frames) {
        std::size_t index = IndexOf(frame);
        pageInUse[index] = 0;
        // Punching the page out returns its memory and makes it read zero when handed out again.
        fallocate(memoryFile, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(index) * PAGE_SIZE,
                  PAGE_SIZE);
    }
}

void MemoryManager::ReturnFrames(const std::vector<PFN_NUMBER>& frames) {
    std::lock_guard<std::mutex> hold(lock);
    ReleaseFrames(frames);
}

void MemoryManager::RecordPageMdl(PMDL mdl, std::vector<PFN_NUMBER> frames, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    mdls.insert_or_assign(mdl, MdlRecord{true, false, std::move(frames), mdl->ByteCount, site});
}

void MemoryManager::RecordIoMdl(PMDL mdl, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    mdls.insert_or_assign(mdl, MdlRecord{false, false, {}, mdl->ByteCount, site});
}

void MemoryManager::FreePages(PMDL mdl, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = mdls.find(mdl);
    if (found == mdls.end() || !found->second.ownsPages || found->second.pagesFreed) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1000, reinterpret_cast<ULONG_PTR>(mdl), 0, 0,
                 site.Describe() + " with an MDL whose pages MmAllocatePagesForMdl did not "
                                   "return, or whose pages were already freed");
    }
    for (auto& entry : mappings) {
        Mapping& mapping = entry.second;
        if (mapping.mdl == mdl) {
            mapping.mdlGone = true;
        }
    }
    for (PFN_NUMBER frame : found->second.frames) {
        if (viewCount[IndexOf(frame)] != 0) {
            events.push_back(site.Describe() + " freed pages that are still mapped");
            break;
        }
    }
    ReleaseFrames(found->second.frames);
    found->second.frames.clear();
    found->second.pagesFreed = true;
}

void MemoryManager::MdlStorageFreed(void* block, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = mdls.find(static_cast<PMDL>(block));
    if (found == mdls.end()) {
        return;
    }
    MdlRecord& record = found->second;
    if (!record.ownsPages) {
        events.push_back(site.Describe() + " freed an MDL made by " + record.site.Describe() +
                         "; such an MDL is freed with IoFreeMdl");
    } else if (!record.pagesFreed) {
        events.push_back(
            site.Describe() + " freed an MDL whose " + std::to_string(record.frames.size()) +
            " pages were never freed with MmFreePagesFromMdl (" + record.site.Describe() + ")");
        ReleaseFrames(record.frames);
    }
    for (auto& entry : mappings) {
        if (entry.second.mdl == found->first) {
            entry.second.mdlGone = true;
        }
    }
    mdls.erase(found);
}

bool MemoryManager::ForgetIoMdl(PMDL mdl, const CallSite& site) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = mdls.find(mdl);
    if (found == mdls.end()) {
        return false;
    }
    if (found->second.ownsPages) {
        // Windows documents MmFreePagesFromMdl and then ExFreePool for these: IoFreeMdl would
        // hand the storage to the wrong allocator.
        events.push_back(site.Describe() + " freed an MDL made by " +
                         found->second.site.Describe() +
                         "; such an MDL is freed with MmFreePagesFromMdl and then ExFreePool");
        if (!found->second.pagesFreed) {
            events.push_back(site.Describe() + " freed an MDL whose " +
                             std::to_string(found->second.frames.size()) +
                             " pages were never freed with MmFreePagesFromMdl (" +
                             found->second.site.Describe() + ")");
            ReleaseFrames(found->second.frames);
        }
    }
    for (auto entry = mappings.begin(); entry != mappings.end();) {
        auto current = entry++;
        Mapping& mapping = current->second;
        if (mapping.mdl != mdl || mapping.mdlGone) {
            continue;
        }
        // Freeing a partial MDL tears down its system view, as Windows does before reuse; any
        // other view left behind is the driver's leak.
        if (mapping.mode == KernelMode && (mdl->MdlFlags & MDL_PARTIAL) != 0) {
            RemoveMapping(current);
            continue;
        }
        events.push_back(site.Describe() + " freed an MDL that is still mapped at " +
                         Hex(reinterpret_cast<std::uintptr_t>(mapping.address)) + " " +
                         Where(mapping));
        mapping.mdlGone = true;
    }
    mdls.erase(found);
    return true;
}

std::vector<PFN_NUMBER> MemoryManager::FramesOf(PMDL mdl, const CallSite& site) const {
    std::size_t pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    std::size_t room = mdl->Size > CSHORT(sizeof(MDL))
                           ? (std::size_t(mdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER)
                           : 0;
    if (mdl->ByteCount == 0 || pages > room) {
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001, reinterpret_cast<ULONG_PTR>(mdl),
                 mdl->ByteCount, room, site.Describe() + " with an MDL that describes no pages");
    }
    std::vector<PFN_NUMBER> frames(MmGetMdlPfnArray(mdl), MmGetMdlPfnArray(mdl) + pages);
    for (PFN_NUMBER frame : frames) {
        if (!FrameAllocated(frame)) {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1002, reinterpret_cast<ULONG_PTR>(mdl),
                     frame, 0,
                     site.Describe() + " with an MDL that names page frame " + Hex(frame) +
                         ", which is not allocated (freed, or never built)");
        }
    }
    return frames;
}

std::size_t MemoryManager::AllocatedPageCount() {
    std::lock_guard<std::mutex> hold(lock);
    std::size_t count = 0;
    for (std::uint8_t used : pageInUse) {
        count += used;
    }
    return count;
}

void MemoryManager::Verify(std::vector<std::string>& problems) {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& entry : mdls) {
        const MdlRecord& record = entry.second;
        if (record.ownsPages && record.pagesFreed) {
            problems.push_back("the MDL at " + Hex(reinterpret_cast<std::uintptr_t>(entry.first)) +
                               " from " + record.site.Describe() +
                               " had its pages freed but was never freed with ExFreePool");
        } else if (record.ownsPages) {
            problems.push_back(std::to_string(record.frames.size()) + " pages (" +
                               std::to_string(record.bytes) + " bytes) from " +
                               record.site.Describe() +
                               " were never freed with MmFreePagesFromMdl");
        } else {
            problems.push_back("the MDL at " + Hex(reinterpret_cast<std::uintptr_t>(entry.first)) +
                               " (" + std::to_string(record.bytes) + " bytes) from " +
                               record.site.Describe() + " was never freed with IoFreeMdl");
        }
    }
    for (const auto& entry : mappings) {
        problems.push_back("the mapping of " + std::to_string(entry.second.bytes) + " bytes at " +
                           Hex(reinterpret_cast<std::uintptr_t>(entry.second.address)) + " " +
                           Where(entry.second) + ", made by " + entry.second.site.Describe() +
                           ", was never unmapped");
    }
    problems.insert(problems.end(), events.begin(), events.end());
}

std::string MemoryManager::Where(const Mapping& mapping) {
    return mapping.process == nullptr ? "in system space"
                                      : "in process '" + mapping.processName + "'";
}

} // namespace host
