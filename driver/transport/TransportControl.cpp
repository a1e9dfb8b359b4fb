// Validation and dispatch of the client's control requests. Every request, refused or not, is
// completed here; every one that may change the client's registration is followed by a new look
// at the connection state.
#include "TransportControl.h"

#include "support/FormatLimits.h"
#include "support/WaveFormat.h"

namespace {

using transport::u32;

// Payload fields are read by their offsets in the protocol's records: a buffered request's
// system buffer carries no alignment promise for a record's type.
ULONG ReadU32(const UCHAR* buffer, ULONG offset) {
    ULONG value;
    RtlCopyMemory(&value, buffer + offset, sizeof(value));
    return value;
}

bool WithinLimits(const DeviceFormat& format) {
    return InRange(format.SampleRate, DeviceMinimumSampleRate, DeviceMaximumSampleRate) &&
           InRange(format.BitsPerSample, DeviceMinimumBits, DeviceMaximumBits) &&
           InRange(format.Channels, 1, DeviceMaximumChannels) &&
           InRange(format.ContainerBytes, 1, DeviceMaximumContainerBytes) &&
           (format.ChannelMask & UnassignedSpeakerBits) == 0;
}

bool SameFormat(const DeviceFormat& a, const DeviceFormat& b) {
    return a.SampleRate == b.SampleRate && a.BitsPerSample == b.BitsPerSample &&
           a.Channels == b.Channels && a.ContainerBytes == b.ContainerBytes &&
           a.ChannelMask == b.ChannelMask;
}

// The client address of the control block, as wide as the client's pointers.
NTSTATUS GetControlBlock(TransportEndpoint* endpoint, PIRP irp, ULONG outputLength,
                         ULONG* information) {
    bool is32Bit = IoIs32bitProcess(irp) != FALSE;
    ULONG pointerBytes = is32Bit ? 4 : 8;
    if (outputLength < pointerBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONGLONG address = reinterpret_cast<ULONG_PTR>(endpoint->controlBlock.clientAddress);
    if (is32Bit) {
        ULONG narrow = static_cast<ULONG>(address);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &narrow, sizeof(narrow));
    } else {
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
    }
    *information = pointerBytes;
    return STATUS_SUCCESS;
}

// References the client's event. The check for an earlier event, the reference and the store
// happen under the endpoint lock, so two registrations racing on one file cannot both succeed.
NTSTATUS SetEvent(TransportEndpoint* endpoint, PIRP irp, ULONG inputLength) {
    RecursiveMutex& lock = endpoint->channel->EndpointLock;
    LockHolder held(lock);
    if (endpoint->clientEvent != nullptr) {
        return STATUS_ALREADY_REGISTERED;
    }
    bool is32Bit = IoIs32bitProcess(irp) != FALSE;
    ULONG handleBytes = is32Bit ? 4 : 8;
    if (inputLength < transport::SetEventHandleOffset + handleBytes) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const UCHAR* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONGLONG handleValue = 0;
    if (is32Bit) {
        handleValue = ReadU32(buffer, transport::SetEventHandleOffset);
    } else {
        RtlCopyMemory(&handleValue, buffer + transport::SetEventHandleOffset, sizeof(handleValue));
    }
    PVOID event = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(handleValue), EVENT_MODIFY_STATE,
                                  *ExEventObjectType, irp->RequestorMode, &event, nullptr);
    if (NT_SUCCESS(status)) {
        SpinLockHolder eventHeld(endpoint->clientEventLock);
        endpoint->clientEvent = static_cast<PKEVENT>(event);
    }
    return status;
}

} // namespace

NTSTATUS DispatchControl(TransportEndpoint* endpoint, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const UCHAR* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    TransportChannel* channel = endpoint->channel;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG information = 0;

    if (!IsClientFile(endpoint, stack->FileObject)) {
        // The file was cleaned up while this request was on its way: it has no client left.
        status = STATUS_FILE_CLOSED;
    } else if (inputLength < sizeof(u32) || buffer == nullptr ||
               ReadU32(buffer, FIELD_OFFSET(transport::GetControlBlockInput, Version)) !=
                   transport::ProtocolVersion) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (code == transport::IoctlGetControlBlock) {
        status = GetControlBlock(endpoint, irp, outputLength, &information);
    } else if (code == transport::IoctlSetFormat) {
        if (inputLength >= sizeof(transport::SetFormatInput)) {
            using Input = transport::SetFormatInput;
            DeviceFormat requested = {ReadU32(buffer, FIELD_OFFSET(Input, SampleRate)),
                                      ReadU32(buffer, FIELD_OFFSET(Input, BitsPerSample)),
                                      ReadU32(buffer, FIELD_OFFSET(Input, Channels)),
                                      ReadU32(buffer, FIELD_OFFSET(Input, ContainerBytes)),
                                      ReadU32(buffer, FIELD_OFFSET(Input, ChannelMask))};
            status = SetDeviceFormat(channel, requested);
        }
    } else if (code == transport::IoctlSetLatency) {
        if (inputLength >= sizeof(transport::SetLatencyInput)) {
            status = SetLatency(
                channel, ReadU32(buffer, FIELD_OFFSET(transport::SetLatencyInput, LatencyFrames)));
        }
    } else if (code == transport::IoctlSetEvent) {
        status = SetEvent(endpoint, irp, inputLength);
    } else if (code == transport::IoctlReportStatus) {
        if (inputLength >= sizeof(transport::ReportStatusInput)) {
            const bool numbered = inputLength >= sizeof(transport::ReportNumberedStatusInput);
            using Input = transport::ReportNumberedStatusInput;
            status = ReportClientStatus(
                channel, static_cast<LONG>(ReadU32(buffer, FIELD_OFFSET(Input, ClientStatus))),
                numbered, numbered ? ReadU32(buffer, FIELD_OFFSET(Input, HandshakeNumber)) : 0);
        }
    }

    CompleteRequest(irp, status, information);
    // A report (a tick or an answer, the requests of every period) changes none of what the
    // connection is made of, so the state it leaves is the one the last change looked at.
    if (code != transport::IoctlReportStatus) {
        UpdateConnection(endpoint);
    }
    return status;
}

NTSTATUS SetDeviceFormat(TransportChannel* channel, const DeviceFormat& requested) {
    LockHolder held(channel->ChannelLock);
    DeviceFormat format = requested;
    if (!WithinLimits(format)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (format.ChannelMask == 0) {
        format.ChannelMask = DefaultChannelMask(format.Channels);
    }
    if (SameFormat(format, channel->currentFormat)) {
        return STATUS_SUCCESS; // nothing changes: no registry write, no event
    }
    if (HasActiveStream(channel)) {
        channel->pendingFormat = format;
        return STATUS_SUCCESS;
    }
    channel->currentFormat = format;
    transport::TransportControlBlock* block = channel->controlBlock;
    block->SampleRate = format.SampleRate;
    block->BitsPerSample = format.BitsPerSample;
    block->Channels = format.Channels;
    block->ContainerBytes = format.ContainerBytes;
    block->ChannelMask = format.ChannelMask;
    // The registry copy is a courtesy to the audio service: its failure changes nothing.
    (void)WriteEndpointFormat(channel);
    RaiseFormatChange(channel);
    return STATUS_SUCCESS;
}

NTSTATUS SetLatency(TransportChannel* channel, ULONG latencyFrames) {
    LockHolder held(channel->ChannelLock);
    const DeviceFormat& effective =
        channel->pendingFormat.SampleRate != 0 ? channel->pendingFormat : channel->currentFormat;
    ULONGLONG blockAlign = static_cast<ULONGLONG>(effective.Channels) * effective.ContainerBytes;
    if (static_cast<ULONGLONG>(latencyFrames) * blockAlign > channel->endpoint->dataBufferBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    if (latencyFrames == channel->latency) {
        return STATUS_SUCCESS; // nothing changes
    }
    if (HasActiveStream(channel)) {
        channel->pendingLatency = latencyFrames;
    } else {
        channel->latency = latencyFrames;
        channel->controlBlock->LatencyFrames = latencyFrames;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReportClientStatus(TransportChannel* channel, LONG clientStatus, bool numbered,
                            ULONG handshakeNumber) {
    // Not under ChannelLock: the answer must get through while a handshake holds it. A tick
    // travels apart from answers, so it can never stand in for one.
    if (clientStatus == transport::StatusTransportTick) {
        KeSetEvent(&channel->tickEvent, IO_NO_INCREMENT, FALSE);
    } else {
        // An answer no handshake takes (late, repeated, or for another number) is dropped.
        channel->latch.Answer(clientStatus, numbered, handshakeNumber);
    }
    return STATUS_SUCCESS;
}
