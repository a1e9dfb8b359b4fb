// The user mappings a pin makes for its caller (the cyclic buffer, a register's page), and their
// removal from the process they were made in, wherever the close that removes them runs.
#include "WaveRTPin.h"
#include "kernel/Memory.h"
#include "kernel/Objects.h"

#include <optional>

extern "C" NTSTATUS NTAPI MapLockedPagesGuarded(PMDL memoryDescriptorList,
                                                KPROCESSOR_MODE accessMode,
                                                MEMORY_CACHING_TYPE cacheType,
                                                PVOID requestedAddress, ULONG bugCheckOnFailure,
                                                ULONG priority, PVOID* mappedAddress);

namespace host {

namespace {

// A user view is never executable, as Windows maps a stream's buffer.
constexpr ULONG UserPriority = NormalPagePriority | MdlMappingNoExecute;

} // namespace

NTSTATUS MapIntoCaller(PMDL mdl, MEMORY_CACHING_TYPE cacheType, UserView* view) {
    PVOID address = nullptr;
    NTSTATUS status =
        MapLockedPagesGuarded(mdl, UserMode, cacheType, nullptr, FALSE, UserPriority, &address);
    if (NT_SUCCESS(status) && address == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    view->mdl = mdl;
    view->address = address;
    view->item = address;
    view->process = IoGetCurrentProcess();
    ObReferenceObject(view->process);
    return STATUS_SUCCESS;
}

// A register the miniport hands out lies in memory it mapped from an MDL (here the control
// block's pages): a partial MDL of that one page is what the caller gets to see.
NTSTATUS MapRegisterIntoCaller(PVOID kernelAddress, UserView* view) {
    std::optional<MappingInfo> found = FindMapping(kernelAddress);
    if (!found || found->mode != KernelMode || found->mdl == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG_PTR offset =
        reinterpret_cast<ULONG_PTR>(kernelAddress) - reinterpret_cast<ULONG_PTR>(found->address);
    PMDL source = found->mdl;
    const auto sourceStart = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(source));
    const ULONG_PTR sourceEnd = sourceStart + MmGetMdlByteCount(source);
    const ULONG_PTR target = sourceStart + offset;
    if (offset >= found->bytes || target >= sourceEnd) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG_PTR start = reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(target));
    start = start < sourceStart ? sourceStart : start;
    ULONG_PTR end = reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(target)) + PAGE_SIZE;
    end = end > sourceEnd ? sourceEnd : end;

    PMDL page =
        IoAllocateMdl(reinterpret_cast<PVOID>(start), ULONG(end - start), FALSE, FALSE, nullptr);
    if (page == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(source, page, reinterpret_cast<PVOID>(start), ULONG(end - start));
    NTSTATUS status = MapIntoCaller(page, found->cacheType, view);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(page);
        return status;
    }
    view->ownsMdl = true;
    view->item = static_cast<unsigned char*>(view->address) + (target - start);
    return STATUS_SUCCESS;
}

void Unmap(UserView* view) {
    // A process that is gone took its mappings with it; one that is ending still has them
    // until its handles are closed.
    const std::optional<MappingInfo> mapping =
        view->address != nullptr ? FindMapping(view->address) : std::nullopt;
    if (mapping && mapping->address == view->address && mapping->mdl == view->mdl) {
        KAPC_STATE attach;
        const bool elsewhere = PsGetCurrentProcess() != view->process;
        if (elsewhere) {
            KeStackAttachProcess(reinterpret_cast<PKPROCESS>(view->process), &attach);
        }
        MmUnmapLockedPages(view->address, view->mdl);
        if (elsewhere) {
            KeUnstackDetachProcess(&attach);
        }
    }
    if (view->process != nullptr) {
        ObDereferenceObject(view->process);
    }
    if (view->ownsMdl && view->mdl != nullptr) {
        IoFreeMdl(view->mdl);
    }
    *view = UserView{};
}

} // namespace host
