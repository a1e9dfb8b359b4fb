// Which side serves a request: the transport endpoints claim their own files, everything else
// belongs to the port-class library. Also the list of WaveRT filter files that are open.
#include "AdapterCommon.h"

#include "audio/MiniportWaveRT.h"
#include "support/Memory.h"
#include "transport/TransportControl.h"

namespace {

bool IsFileName(PFILE_OBJECT fileObject, PCWSTR name) {
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, name);
    return RtlCompareUnicodeString(&fileObject->FileName, &expected, FALSE) == 0;
}

// Exact, case-sensitive comparison of two terminated names.
bool SameName(PCWSTR a, PCWSTR b) {
    while (*a != L'\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

} // namespace

bool NamesTransportFile(PFILE_OBJECT fileObject) {
    // A transport open names the device; a name relative to another file is that file's.
    return fileObject != nullptr && fileObject->RelatedFileObject == nullptr &&
           (IsFileName(fileObject, TRANSPORT_RENDER_FILE_NAME) ||
            IsFileName(fileObject, TRANSPORT_CAPTURE_FILE_NAME));
}

TransportEndpoint* AdapterCommon::EndpointOfFile(PFILE_OBJECT fileObject) {
    // The mark is written by the file's own create, before any other request can name the
    // file, so reading it needs no lock.
    if (IsEndpointFile(&renderEndpoint, fileObject)) {
        return &renderEndpoint;
    }
    if (IsEndpointFile(&captureEndpoint, fileObject)) {
        return &captureEndpoint;
    }
    return nullptr;
}

NTSTATUS AdapterCommon::OpenTransportFile(PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (fileObject == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (EndpointOfFile(fileObject->RelatedFileObject) != nullptr) {
        // Nothing lives under a transport file, and the port-class library must never see one.
        CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!NamesTransportFile(fileObject)) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!IsStarted()) {
        CompleteRequest(irp, STATUS_DEVICE_NOT_READY, 0);
        return STATUS_DEVICE_NOT_READY;
    }
    return OpenClient(IsFileName(fileObject, TRANSPORT_RENDER_FILE_NAME) ? &renderEndpoint
                                                                         : &captureEndpoint,
                      irp);
}

NTSTATUS AdapterCommon::ServeTransportFile(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    TransportEndpoint* endpoint = EndpointOfFile(stack->FileObject);
    if (endpoint == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CLEANUP:
        return CleanupClient(endpoint, irp);
    case IRP_MJ_CLOSE:
        return CloseClient(endpoint, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return DispatchControl(endpoint, irp);
    default:
        // Read, write, flush, information, security, ...: a transport file has none of them.
        CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

PUNKNOWN AdapterCommon::FindWaveMiniport(PCWSTR name) {
    DirectionFilters* const directions[] = {&renderFilters, &captureFilters};
    for (DirectionFilters* filters : directions) {
        CMiniportWaveRT* miniport = filters->waveMiniport;
        if (miniport != nullptr && SameName(name, miniport->subdeviceName)) {
            return miniport->MiniportInterface();
        }
    }
    return nullptr;
}

ClientFileRecord* AdapterCommon::AddClientFile(PUNKNOWN miniport, PFILE_OBJECT fileObject) {
    ClientFileRecord* record = static_cast<ClientFileRecord*>(AllocateMemory(sizeof(*record)));
    if (record == nullptr) {
        return nullptr; // the create keeps its status; the file simply has no record
    }
    ListNodeInit(&record->node);
    record->fileObject = fileObject;
    record->miniport = miniport;
    LockHolder held(clientFileLock);
    ListAppend(&clientFileList, &record->node);
    return record;
}

namespace {
// The record of fileObject; the caller holds clientFileLock.
ClientFileRecord* FindRecord(List* list, PFILE_OBJECT fileObject) {
    for (ListNode* node = list->first; node != nullptr; node = node->next) {
        ClientFileRecord* record = reinterpret_cast<ClientFileRecord*>(node);
        if (record->fileObject == fileObject) {
            return record;
        }
    }
    return nullptr;
}
} // namespace

PUNKNOWN AdapterCommon::FindClientFile(PFILE_OBJECT fileObject) {
    LockHolder held(clientFileLock);
    ClientFileRecord* record = FindRecord(&clientFileList, fileObject);
    return record != nullptr ? record->miniport : nullptr;
}

VOID AdapterCommon::RemoveClientFile(PFILE_OBJECT fileObject) {
    ClientFileRecord* record;
    {
        LockHolder held(clientFileLock);
        record = FindRecord(&clientFileList, fileObject);
    }
    if (record == nullptr) {
        return;
    }
    // Finding and unlinking are two holds of the lock: only the close of the record's own file
    // removes it, and a file is closed once.
    {
        LockHolder held(clientFileLock);
        ListRemove(&clientFileList, &record->node);
    }
    FreeMemory(record);
}
