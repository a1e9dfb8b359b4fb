// Routing of create, close and device-control requests, and the record of WaveRT filter files.
#include "DispatchHooks.h"

#include "adapter/AdapterCommon.h"
#include "adapter/DriverEntry.h"

namespace {

// Filter names are at most 15 characters ("wave_c" and the like).
constexpr ULONG NameBufferCharacters = 16;

// The file name without its leading backslash, cut to fit the name buffer and terminated.
VOID CopyFilterName(PFILE_OBJECT fileObject, WCHAR (&name)[NameBufferCharacters]) {
    name[0] = L'\0';
    if (fileObject == nullptr || fileObject->FileName.Buffer == nullptr) {
        return;
    }
    PCWSTR characters = fileObject->FileName.Buffer;
    ULONG remaining = fileObject->FileName.Length / sizeof(WCHAR);
    if (remaining != 0 && characters[0] == L'\\') {
        characters++;
        remaining--;
    }
    ULONG copied = remaining < NameBufferCharacters - 1 ? remaining : NameBufferCharacters - 1;
    for (ULONG index = 0; index < copied; index++) {
        name[index] = characters[index];
    }
    name[copied] = L'\0';
}

} // namespace

extern "C" NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    AdapterCommon* adapter = PublishedAdapter();
    if (adapter == nullptr) {
        return PcDispatchIrp(deviceObject, irp); // not started: nothing of ours is open yet
    }
    NTSTATUS status = adapter->OpenTransportFile(irp);
    if (status != STATUS_MORE_PROCESSING_REQUIRED) {
        return status; // a transport file: served (and completed) by its endpoint
    }

    // Take what is needed from the request before the library completes it.
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    WCHAR name[NameBufferCharacters];
    CopyFilterName(fileObject, name);

    status = PcDispatchIrp(deviceObject, irp);

    // Names that begin with "{" are objects created under a filter (pins), never filters.
    if (status == STATUS_SUCCESS && name[0] != L'{') {
        PUNKNOWN miniport = adapter->FindWaveMiniport(name);
        if (miniport != nullptr) {
            adapter->AddClientFile(miniport, fileObject);
        }
    }
    return status;
}

extern "C" NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    AdapterCommon* adapter = PublishedAdapter();
    if (adapter == nullptr) {
        return PcDispatchIrp(deviceObject, irp);
    }
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (adapter->FindClientFile(fileObject) != nullptr) {
        adapter->RemoveClientFile(fileObject);
    }
    NTSTATUS status = adapter->CloseTransportFile(irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        return PcDispatchIrp(deviceObject, irp);
    }
    return status;
}

extern "C" NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    AdapterCommon* adapter = PublishedAdapter();
    if (adapter == nullptr) {
        return PcDispatchIrp(deviceObject, irp);
    }
    NTSTATUS status = adapter->ControlTransportFile(irp);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        return PcDispatchIrp(deviceObject, irp);
    }
    return status;
}
