// Open, close and connection state of a direction's private file.
#include "TransportEndpoint.h"

#include "transport/TransportChannel.h"

TransportEndpoint::TransportEndpoint(TransportChannel* channel)
    : channel(channel), clientFile(nullptr), clientEvent(nullptr),
      clientProcess(nullptr), controlBlock{nullptr, nullptr, nullptr},
      dataBufferBytes(0), dataBuffer{nullptr, nullptr, nullptr}, connected(false), clientReady(0) {}

TransportEndpoint::~TransportEndpoint() {
    FreeSharedMemory(this);
}

VOID CompleteRequest(PIRP irp, NTSTATUS status, ULONG information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, status == STATUS_CANCELLED ? IO_NO_INCREMENT : IO_SOUND_INCREMENT);
}

namespace {

// The client file is written under EndpointLock and read without it by IsClientFile, so every
// access is interlocked, also those under the lock.
VOID PublishClientFile(TransportEndpoint* endpoint, PFILE_OBJECT fileObject) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&endpoint->clientFile),
                               fileObject);
}

PFILE_OBJECT ReadClientFile(const TransportEndpoint* endpoint) {
    return static_cast<PFILE_OBJECT>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PFILE_OBJECT*>(&endpoint->clientFile)),
        nullptr, nullptr));
}

// A 32-bit client can address only the first 4 GiB: a view that reaches beyond cannot be handed
// to it, not even cut to 32 bits.
bool LiesBelow4GiB(const SharedBuffer& region) {
    const ULONGLONG limit = 0x100000000ULL;
    const ULONGLONG start = reinterpret_cast<ULONG_PTR>(region.clientAddress);
    return start < limit && MmGetMdlByteCount(region.mdl) <= limit - start;
}

// Maps both shared regions into the requesting process; a 32-bit client needs them below 4 GiB.
NTSTATUS MapClientViews(TransportEndpoint* endpoint, PIRP irp) {
    NTSTATUS status = MapControlBlockToClient(endpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = MapDataBufferToClient(endpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IoIs32bitProcess(irp) &&
        (!LiesBelow4GiB(endpoint->controlBlock) || !LiesBelow4GiB(endpoint->dataBuffer))) {
        return STATUS_CONFLICTING_ADDRESSES;
    }
    return STATUS_SUCCESS;
}

// Under EndpointLock: takes the create's file as the endpoint's client and maps the shared
// memory into its process. On failure nothing of the attempt stays.
NTSTATUS AttachClient(TransportEndpoint* endpoint, PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (ReadClientFile(endpoint) != nullptr) {
        return STATUS_DEVICE_BUSY;
    }
    PublishClientFile(endpoint, fileObject);
    // The mappings land in the requesting process; remember it so that a cleanup arriving in
    // another context can still undo them where they are.
    endpoint->clientProcess = PsGetCurrentProcess();
    ObReferenceObject(endpoint->clientProcess);
    const NTSTATUS status = MapClientViews(endpoint, irp);
    if (!NT_SUCCESS(status)) {
        ReleaseClient(endpoint);
        return status;
    }
    fileObject->FsContext2 = endpoint;
    return STATUS_SUCCESS;
}

// Cleanup and close end the client alike: the first one for the client file releases it.
NTSTATUS EndClient(TransportEndpoint* endpoint, PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    {
        LockHolder held(endpoint->channel->EndpointLock);
        if (ReadClientFile(endpoint) == fileObject) {
            ReleaseClient(endpoint);
            // Under the lock, so that it cannot reach a handshake opened for a client that
            // comes after this one.
            AbandonHandshake(endpoint->channel);
        }
    }

    CompleteRequest(irp, STATUS_SUCCESS, 0);
    UpdateConnection(endpoint);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS OpenClient(TransportEndpoint* endpoint, PIRP irp) {
    NTSTATUS status;
    {
        LockHolder held(endpoint->channel->EndpointLock);
        status = AttachClient(endpoint, irp);
    }
    CompleteRequest(irp, status, 0);
    UpdateConnection(endpoint);
    return status;
}

bool IsEndpointFile(TransportEndpoint* endpoint, PFILE_OBJECT fileObject) {
    return fileObject != nullptr && fileObject->FsContext2 == endpoint;
}

bool IsClientFile(TransportEndpoint* endpoint, PFILE_OBJECT fileObject) {
    // Every request of the client asks this, ticks included, so it takes no lock: the answer
    // may be stale the moment it is given, with or without one.
    return fileObject != nullptr && ReadClientFile(endpoint) == fileObject;
}

NTSTATUS CleanupClient(TransportEndpoint* endpoint, PIRP irp) {
    return EndClient(endpoint, irp);
}

NTSTATUS CloseClient(TransportEndpoint* endpoint, PIRP irp) {
    // A close follows the cleanup, which released the client already; a close without one
    // (the I/O manager tearing down a file it never handed out) releases it here.
    return EndClient(endpoint, irp);
}

VOID ReleaseClient(TransportEndpoint* endpoint) {
    InterlockedExchange(&endpoint->clientReady, 0);
    if (endpoint->ControlBlock() != nullptr) {
        endpoint->ControlBlock()->ClientDataAddress = 0;
    }
    ReleaseClientViews(endpoint);

    PKEVENT event = nullptr;
    {
        SpinLockHolder held(endpoint->clientEventLock);
        event = endpoint->clientEvent;
        endpoint->clientEvent = nullptr;
    }
    if (event != nullptr) {
        ObDereferenceObject(event);
    }
    if (endpoint->clientProcess != nullptr) {
        ObDereferenceObject(endpoint->clientProcess);
        endpoint->clientProcess = nullptr;
    }
    PublishClientFile(endpoint, nullptr);
}

namespace {

// Under EndpointLock.
bool HasWholeClient(const TransportEndpoint* endpoint) {
    return ReadClientFile(endpoint) != nullptr && endpoint->controlBlock.clientAddress != nullptr &&
           endpoint->dataBuffer.clientAddress != nullptr && endpoint->dataBufferBytes != 0 &&
           endpoint->clientEvent != nullptr;
}

} // namespace

bool IsClientConnected(TransportChannel* channel) {
    return InterlockedCompareExchange(&channel->endpoint->clientReady, 0, 0) != 0;
}

NTSTATUS CheckClientConnected(TransportChannel* channel) {
    return IsClientConnected(channel) ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

PMDL GetDataBufferMdl(TransportChannel* channel) {
    return channel->endpoint->dataBuffer.mdl;
}

VOID UpdateConnection(TransportEndpoint* endpoint) {
    // Requests on one file can finish on several threads at once: the state and its jack change
    // are updated under the endpoint lock so each change is seen, and raised, exactly once.
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    LockHolder held(lock);
    bool nowConnected = HasWholeClient(endpoint);
    InterlockedExchange(&endpoint->clientReady, nowConnected ? 1 : 0);
    if (nowConnected != endpoint->connected) {
        endpoint->connected = nowConnected;
        // The topology filter's jack follows the connection; it exists once the direction's
        // subdevices are registered.
        RaiseJackChange(endpoint->channel);
    }
    if (endpoint->ControlBlock() != nullptr) {
        endpoint->ControlBlock()->ClientConnected = endpoint->connected ? 1 : 0;
    }
}
