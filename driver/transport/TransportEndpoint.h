// The per-direction server of the client's private file: one client at a time, the direction's
// shared memory mapped into the client's process while its file is open, the client's event,
// and whether the client is fully connected.
#pragma once

#include "platform/KernelHeaders.h"
#include "support/Locks.h"
#include "transport/SharedBuffer.h"
#include "transport/TransportProtocol.h"

class TransportChannel;

class TransportEndpoint {
public:
    explicit TransportEndpoint(TransportChannel* channel);
    // Frees the shared memory; the client file is closed by then.
    ~TransportEndpoint();
    TransportEndpoint(const TransportEndpoint&) = delete;
    TransportEndpoint& operator=(const TransportEndpoint&) = delete;

    // The control block's system mapping, or null while it does not exist.
    transport::TransportControlBlock* ControlBlock() const {
        return static_cast<transport::TransportControlBlock*>(controlBlock.systemAddress);
    }

    TransportChannel* const channel;
    PFILE_OBJECT clientFile; // the client's file; written interlocked, under EndpointLock
    PKEVENT clientEvent;     // referenced; registered by the client
    // Written under EndpointLock and this lock both; a handshake reads it and sets the event
    // under this one alone, so that it needs neither the mutex nor a reference of its own.
    SpinLock clientEventLock;
    // The process whose context the client file was opened in: the client mappings live in its
    // address space. Referenced while a client file is recorded.
    PEPROCESS clientProcess;
    SharedBuffer controlBlock;
    ULONGLONG dataBufferBytes;
    SharedBuffer dataBuffer;
    bool connected; // last computed connection state, mirrored in ClientConnected
    // The same state for readers that cannot take EndpointLock (packet and position calls run
    // at DISPATCH_LEVEL): written under the lock with interlocked stores, cleared before a
    // release starts taking the client apart, read with an interlocked load.
    LONG volatile clientReady;
};

// Serves a create of the endpoint's file name; completes the request. A file it opens is marked
// as the endpoint's (FsContext2) for the rest of its life, so every later request on it is
// recognised as a transport file's, even once the client has gone.
NTSTATUS OpenClient(TransportEndpoint* endpoint, PIRP irp);
// True for a file this endpoint opened (until its close), whoever its client is now.
bool IsEndpointFile(TransportEndpoint* endpoint, PFILE_OBJECT fileObject);
// True while fileObject is the endpoint's client file (read under EndpointLock).
bool IsClientFile(TransportEndpoint* endpoint, PFILE_OBJECT fileObject);
// Cleanup and close of one of the endpoint's files; each completes the request. The first of
// them for the client file releases the client and ends a handshake that waits for it.
NTSTATUS CleanupClient(TransportEndpoint* endpoint, PIRP irp);
NTSTATUS CloseClient(TransportEndpoint* endpoint, PIRP irp);
// Undoes the client mappings, drops the event and forgets the client file. The caller holds
// EndpointLock.
VOID ReleaseClient(TransportEndpoint* endpoint);
// Recomputes the connection state after every open, close and control request.
VOID UpdateConnection(TransportEndpoint* endpoint);

// Whether a whole client (file, both views, data size, event) was there at the last update;
// callable at any IRQL up to DISPATCH_LEVEL without a lock.
bool IsClientConnected(TransportChannel* channel);
// STATUS_SUCCESS or STATUS_DEVICE_NOT_READY.
NTSTATUS CheckClientConnected(TransportChannel* channel);
PMDL GetDataBufferMdl(TransportChannel* channel);

VOID CompleteRequest(PIRP irp, NTSTATUS status, ULONG information);
