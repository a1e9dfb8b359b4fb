// The WaveRT port's IPortWaveRTStream: what a miniport's stream may ask of the port for memory
// it manages itself (pages for an MDL, their system mapping, their physical addresses).
#include <atomic>

#include "WaveRTPin.h"
#include "kernel/Irql.h"

namespace host {

namespace {

class PortWaveRTStream final : public IPortWaveRTStream {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
        if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IPortWaveRTStream)) {
            *object = static_cast<IPortWaveRTStream*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    STDMETHODIMP_(PMDL)
    AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override {
        RequireIrqlAtMost(PASSIVE_LEVEL, "IPortWaveRTStream::AllocatePagesForMdl");
        PHYSICAL_ADDRESS low;
        low.QuadPart = 0;
        PHYSICAL_ADDRESS skip;
        skip.QuadPart = 0;
        return WholeOrNothing(MmAllocatePagesForMdl(low, HighAddress, skip, TotalBytes),
                              TotalBytes);
    }
    STDMETHODIMP_(PMDL)
    AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                  SIZE_T TotalBytes) override {
        RequireIrqlAtMost(PASSIVE_LEVEL, "IPortWaveRTStream::AllocateContiguousPagesForMdl");
        PHYSICAL_ADDRESS skip;
        skip.QuadPart = 0;
        PMDL mdl = WholeOrNothing(MmAllocatePagesForMdl(LowAddress, HighAddress, skip, TotalBytes),
                                  TotalBytes);
        // The memory file hands out pages in any order; the miniport asked for one run.
        if (mdl != nullptr && !Contiguous(mdl)) {
            FreePagesFromMdl(mdl);
            mdl = nullptr;
        }
        return mdl;
    }
    STDMETHODIMP_(PVOID)
    MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) override {
        return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, KernelMode, CacheType, nullptr,
                                            FALSE, NormalPagePriority | MdlMappingNoExecute);
    }
    STDMETHODIMP_(void) UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) override {
        MmUnmapLockedPages(BaseAddress, MemoryDescriptorList);
    }
    // The MDL goes with its pages, as the miniport never frees it itself.
    STDMETHODIMP_(void) FreePagesFromMdl(PMDL MemoryDescriptorList) override {
        MmFreePagesFromMdl(MemoryDescriptorList);
        ExFreePool(MemoryDescriptorList);
    }
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL MemoryDescriptorList) override {
        return ULONG(ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                                    MmGetMdlByteCount(MemoryDescriptorList)));
    }
    STDMETHODIMP_(PHYSICAL_ADDRESS)
    GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index) override {
        PHYSICAL_ADDRESS address;
        address.QuadPart = 0;
        if (Index < GetPhysicalPagesCount(MemoryDescriptorList)) {
            address.QuadPart = LONGLONG(MmGetMdlPfnArray(MemoryDescriptorList)[Index])
                               << PAGE_SHIFT;
        }
        return address;
    }

private:
    // A partial allocation is of no use to a miniport that asked for a buffer size.
    PMDL WholeOrNothing(PMDL mdl, SIZE_T bytes) {
        if (mdl != nullptr && MmGetMdlByteCount(mdl) < bytes) {
            FreePagesFromMdl(mdl);
            return nullptr;
        }
        return mdl;
    }
    bool Contiguous(PMDL mdl) {
        const ULONG pages = GetPhysicalPagesCount(mdl);
        const PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
        for (ULONG i = 1; i < pages; ++i) {
            if (frames[i] != frames[i - 1] + 1) {
                return false;
            }
        }
        return true;
    }

    std::atomic<ULONG> references{1};
};

} // namespace

IPortWaveRTStream* NewPortWaveRTStream() {
    return new PortWaveRTStream();
}

} // namespace host
