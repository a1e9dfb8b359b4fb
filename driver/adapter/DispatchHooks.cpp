// Routing of every request between the transport files and the port-class library, and the
// record of WaveRT filter files.
#include "DispatchHooks.h"

#include "adapter/AdapterCommon.h"
#include "adapter/DriverEntry.h"
#include "transport/TransportEndpoint.h"

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

// The entries the driver object held before the hooks: the port-class library's where it set
// one, the I/O manager's default elsewhere.
PDRIVER_DISPATCH SavedDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

NTSTATUS PassOn(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return SavedDispatch[IoGetCurrentIrpStackLocation(irp)->MajorFunction](deviceObject, irp);
}

} // namespace

VOID InstallDispatchHooks(PDRIVER_OBJECT driverObject) {
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        SavedDispatch[major] = driverObject->MajorFunction[major];
        driverObject->MajorFunction[major] =
            major == IRP_MJ_CREATE ? DispatchCreate : DispatchRequest;
    }
}

extern "C" NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
    AdapterCommon* adapter = PublishedAdapter();
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (adapter == nullptr) {
        if (NamesTransportFile(fileObject)) {
            // Not started: nothing a transport file needs exists yet.
            CompleteRequest(irp, STATUS_DEVICE_NOT_READY, 0);
            return STATUS_DEVICE_NOT_READY;
        }
        return PassOn(deviceObject, irp);
    }
    NTSTATUS status = adapter->OpenTransportFile(irp);
    if (status != STATUS_MORE_PROCESSING_REQUIRED) {
        return status; // served (and completed) by the transport side
    }

    // Take what is needed from the request before the library completes it.
    WCHAR name[NameBufferCharacters];
    CopyFilterName(fileObject, name);

    status = PassOn(deviceObject, irp);

    // Names that begin with "{" are objects created under a filter (pins), never filters.
    if (status == STATUS_SUCCESS && name[0] != L'{') {
        PUNKNOWN miniport = adapter->FindWaveMiniport(name);
        if (miniport != nullptr) {
            adapter->AddClientFile(miniport, fileObject);
        }
    }
    return status;
}

extern "C" NTSTATUS NTAPI DispatchRequest(PDEVICE_OBJECT deviceObject, PIRP irp) {
    AdapterCommon* adapter = PublishedAdapter();
    if (adapter == nullptr) {
        return PassOn(deviceObject, irp); // not started: nothing of ours is open yet
    }
    NTSTATUS status = adapter->ServeTransportFile(irp);
    if (status != STATUS_MORE_PROCESSING_REQUIRED) {
        return status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CLOSE && adapter->FindClientFile(stack->FileObject)) {
        adapter->RemoveClientFile(stack->FileObject);
    }
    return PassOn(deviceObject, irp);
}
