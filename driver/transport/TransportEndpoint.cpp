// Open, close and connection state of a direction's private file.
#include "TransportEndpoint.h"

#include "transport/TransportChannel.h"

TransportEndpoint::TransportEndpoint(TransportChannel* channel)
    : channel(channel), clientFile(nullptr), clientEvent(nullptr),
      clientProcess(nullptr), controlBlock{nullptr, nullptr, nullptr},
      dataBufferBytes(0), dataBuffer{nullptr, nullptr, nullptr}, connected(false) {}

TransportEndpoint::~TransportEndpoint() {
    FreeSharedMemory(this);
}

VOID CompleteRequest(PIRP irp, NTSTATUS status, ULONG information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, status == STATUS_CANCELLED ? IO_NO_INCREMENT : IO_SOUND_INCREMENT);
}

NTSTATUS OpenClient(TransportEndpoint* endpoint, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    NTSTATUS status;

    lock.Lock();
    if (endpoint->clientFile != nullptr) {
        status = STATUS_DEVICE_BUSY;
    } else {
        endpoint->clientFile = stack->FileObject;
        // The mappings below land in the requesting process; remember it so that a close
        // arriving in another context can still undo them where they are.
        endpoint->clientProcess = PsGetCurrentProcess();
        ObReferenceObject(endpoint->clientProcess);
        status = MapControlBlockToClient(endpoint);
        if (NT_SUCCESS(status)) {
            status = MapDataBufferToClient(endpoint);
        }
        if (!NT_SUCCESS(status)) {
            ReleaseClient(endpoint);
        }
    }
    lock.Unlock();

    CompleteRequest(irp, status, 0);
    UpdateConnection(endpoint);
    return status;
}

NTSTATUS CloseClient(TransportEndpoint* endpoint, PIRP irp) {
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    lock.Lock();
    ReleaseClient(endpoint);
    lock.Unlock();

    CompleteRequest(irp, STATUS_SUCCESS, 0);
    UpdateConnection(endpoint);
    return STATUS_SUCCESS;
}

VOID ReleaseClient(TransportEndpoint* endpoint) {
    // A close normally arrives in the client's own process (its handle closed, or the process
    // ending). If it arrives elsewhere, the user mappings must still be removed from the
    // client's address space, not from the current one.
    KAPC_STATE attachState;
    bool attached = false;
    if (endpoint->clientProcess != nullptr && endpoint->clientProcess != PsGetCurrentProcess() &&
        (endpoint->controlBlock.clientAddress != nullptr ||
         endpoint->dataBuffer.clientAddress != nullptr)) {
        KeStackAttachProcess(reinterpret_cast<PKPROCESS>(endpoint->clientProcess), &attachState);
        attached = true;
    }

    if (endpoint->dataBuffer.clientAddress != nullptr) {
        if (endpoint->ControlBlock() != nullptr) {
            endpoint->ControlBlock()->ClientDataAddress = 0;
        }
        UnmapFromClient(&endpoint->dataBuffer);
    }
    UnmapFromClient(&endpoint->controlBlock);

    if (attached) {
        KeUnstackDetachProcess(&attachState);
    }

    if (endpoint->clientEvent != nullptr) {
        ObDereferenceObject(endpoint->clientEvent);
        endpoint->clientEvent = nullptr;
    }
    if (endpoint->clientProcess != nullptr) {
        ObDereferenceObject(endpoint->clientProcess);
        endpoint->clientProcess = nullptr;
    }
    endpoint->clientFile = nullptr;
}

bool IsClientConnected(TransportChannel* channel) {
    TransportEndpoint* endpoint = channel->endpoint;
    return endpoint->clientFile != nullptr && endpoint->controlBlock.clientAddress != nullptr &&
           endpoint->dataBuffer.clientAddress != nullptr && endpoint->dataBufferBytes != 0 &&
           endpoint->clientEvent != nullptr;
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
    lock.Lock();
    bool nowConnected = IsClientConnected(endpoint->channel);
    if (nowConnected != endpoint->connected) {
        endpoint->connected = nowConnected;
        // The topology filter's jack follows the connection; it exists once the direction's
        // subdevices are registered.
        RaiseJackChange(endpoint->channel);
    }
    if (endpoint->ControlBlock() != nullptr) {
        endpoint->ControlBlock()->ClientConnected = endpoint->connected ? 1 : 0;
    }
    lock.Unlock();
}
