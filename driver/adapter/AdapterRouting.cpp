// Which side serves a request: the transport endpoints claim their own files, everything else
// belongs to the port-class library. Also the list of WaveRT filter files that are open.
#include "AdapterCommon.h"

#include "support/Memory.h"

namespace {

bool IsFileName(PFILE_OBJECT fileObject, PCWSTR name) {
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, name);
    return RtlCompareUnicodeString(&fileObject->FileName, &expected, FALSE) == 0;
}

TransportEndpoint* EndpointOfFile(AdapterCommon* adapter, PFILE_OBJECT fileObject) {
    if (fileObject != nullptr && fileObject == adapter->renderEndpoint.clientFile) {
        return &adapter->renderEndpoint;
    }
    if (fileObject != nullptr && fileObject == adapter->captureEndpoint.clientFile) {
        return &adapter->captureEndpoint;
    }
    return nullptr;
}

} // namespace

NTSTATUS AdapterCommon::OpenTransportFile(PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (fileObject == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (IsFileName(fileObject, TRANSPORT_RENDER_FILE_NAME)) {
        return OpenClient(&renderEndpoint, irp);
    }
    if (IsFileName(fileObject, TRANSPORT_CAPTURE_FILE_NAME)) {
        return OpenClient(&captureEndpoint, irp);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS AdapterCommon::CloseTransportFile(PIRP irp) {
    TransportEndpoint* endpoint =
        EndpointOfFile(this, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (endpoint == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return CloseClient(endpoint, irp);
}

NTSTATUS AdapterCommon::ControlTransportFile(PIRP irp) {
    TransportEndpoint* endpoint =
        EndpointOfFile(this, IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (endpoint == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return DispatchControl(endpoint, irp);
}

PUNKNOWN AdapterCommon::FindWaveMiniport(PCWSTR name) {
    // The WaveRT miniports arrive with the subdevices; until then no filter name matches.
    UNREFERENCED_PARAMETER(name);
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
    clientFileLock.Lock();
    ListAppend(&clientFileList, &record->node);
    clientFileLock.Unlock();
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
    clientFileLock.Lock();
    ClientFileRecord* record = FindRecord(&clientFileList, fileObject);
    PUNKNOWN miniport = record != nullptr ? record->miniport : nullptr;
    clientFileLock.Unlock();
    return miniport;
}

VOID AdapterCommon::RemoveClientFile(PFILE_OBJECT fileObject) {
    clientFileLock.Lock();
    ClientFileRecord* record = FindRecord(&clientFileList, fileObject);
    clientFileLock.Unlock();
    if (record == nullptr) {
        return;
    }
    // Finding and unlinking are two holds of the lock: only the close of the record's own file
    // removes it, and a file is closed once.
    clientFileLock.Lock();
    ListRemove(&clientFileList, &record->node);
    clientFileLock.Unlock();
    FreeMemory(record);
}
