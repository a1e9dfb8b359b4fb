// The channel's worker thread, which turns the client's tick requests into stream ticks, and
// the handshake through which stream state, buffer and lifetime changes wait for the client.
#include "TransportChannel.h"

#include "audio/MiniportWaveRT.h"
#include "audio/MiniportWaveRTStream.h"
#include "support/WaveFormat.h"
#include "transport/TransportEndpoint.h"

namespace {

// One second, in the kernel's relative 100-ns units.
constexpr LONGLONG OneSecondRelative = -10000000LL;
// The highest real-time scheduling priority.
constexpr KPRIORITY WorkerPriority = 31;

LONG volatile* HandshakeFlags(TransportChannel* channel) {
    return reinterpret_cast<LONG volatile*>(&channel->controlBlock->HandshakeFlags);
}

// Sleeps on the tick event; each wake-up is one tick, until the stop flag is raised. No timer:
// the stream advances exactly as often as the client asks.
VOID NTAPI WorkerThread(PVOID context) {
    TransportChannel* channel = static_cast<TransportChannel*>(context);
    KeSetPriorityThread(KeGetCurrentThread(), WorkerPriority);
    NTSTATUS status =
        KeWaitForSingleObject(&channel->tickEvent, Executive, KernelMode, FALSE, nullptr);
    while (status == STATUS_SUCCESS) {
        if (channel->stopFlag) {
            break;
        }
        channel->ChannelLock.Lock();
        ChannelTick(channel);
        channel->ChannelLock.Unlock();
        status = KeWaitForSingleObject(&channel->tickEvent, Executive, KernelMode, FALSE, nullptr);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

NTSTATUS StartWorker(TransportChannel* channel) {
    InterlockedOr(HandshakeFlags(channel), transport::AwaitingClient | transport::HandshakeActive);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, WorkerThread, channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    channel->workerHandle = handle;

    PVOID thread = nullptr;
    status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    if (!NT_SUCCESS(status)) {
        return status; // StopWorker still ends the thread through its handle
    }
    channel->workerThread = static_cast<PETHREAD>(thread);
    return STATUS_SUCCESS;
}

VOID StopWorker(TransportChannel* channel) {
    if (channel->workerHandle == nullptr) {
        // No worker was ever created (the start failed before it): the channel waits one
        // second before it goes away.
        LARGE_INTEGER interval;
        interval.QuadPart = OneSecondRelative;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        return;
    }
    channel->stopFlag = true;
    if (channel->workerThread != nullptr) {
        KeSetEvent(&channel->tickEvent, IO_NO_INCREMENT, TRUE);
        if (KeWaitForSingleObject(channel->workerThread, Executive, KernelMode, FALSE, nullptr) ==
            STATUS_SUCCESS) {
            channel->stopFlag = false;
        }
        ObDereferenceObject(channel->workerThread);
        channel->workerThread = nullptr;
    } else {
        // The thread runs but could not be referenced: wait for it through its handle, so it
        // never outlives the channel it works on.
        KeSetEvent(&channel->tickEvent, IO_NO_INCREMENT, FALSE);
        ZwWaitForSingleObject(channel->workerHandle, FALSE, nullptr);
    }
    ZwClose(channel->workerHandle);
    channel->workerHandle = nullptr;
}

NTSTATUS Handshake(TransportChannel* channel) {
    InterlockedOr(HandshakeFlags(channel), transport::AwaitingClient | transport::HandshakeActive);

    // Consume an answer left over from an earlier handshake.
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    KeWaitForSingleObject(&channel->acknowledgeEvent, Executive, KernelMode, FALSE, &noWait);
    // The client's requests write the status from their own threads, without a lock; every
    // access to it is interlocked.
    InterlockedExchange(ClientStatusOf(channel), STATUS_UNSUCCESSFUL);

    NTSTATUS result;
    if (!SignalClient(channel)) {
        result = STATUS_DEVICE_NOT_READY;
    } else {
        LARGE_INTEGER timeout;
        timeout.QuadPart = OneSecondRelative;
        NTSTATUS wait = KeWaitForSingleObject(&channel->acknowledgeEvent, Executive, KernelMode,
                                              FALSE, &timeout);
        if (wait == STATUS_SUCCESS) {
            InterlockedAnd(HandshakeFlags(channel), ~static_cast<LONG>(transport::AwaitingClient));
            result = InterlockedCompareExchange(ClientStatusOf(channel), 0, 0);
        } else if (wait == STATUS_TIMEOUT) {
            result = STATUS_DEVICE_NOT_READY;
        } else {
            result = STATUS_UNSUCCESSFUL;
        }
    }
    InterlockedAnd(HandshakeFlags(channel), ~static_cast<LONG>(transport::HandshakeActive));
    return result;
}

bool SignalClient(TransportChannel* channel) {
    TransportEndpoint* endpoint = channel->endpoint;
    channel->EndpointLock.Lock();
    bool signalled = endpoint->clientEvent != nullptr;
    if (signalled) {
        KeSetEvent(endpoint->clientEvent, IO_NO_INCREMENT, FALSE);
    }
    channel->EndpointLock.Unlock();
    return signalled;
}

VOID ChannelTick(TransportChannel* channel) {
    if (HasActiveStream(channel)) {
        channel->waveMiniport->currentStream->Tick();
    }
}

VOID AttachStream(TransportChannel* channel, CMiniportWaveRTStream* stream) {
    if (channel->waveMiniport != nullptr) {
        channel->waveMiniport->currentStream = stream;
    }
    channel->controlBlock->StreamOpen = 1;
}

VOID DetachStream(TransportChannel* channel) {
    if (!HasActiveStream(channel)) {
        return;
    }
    channel->controlBlock->StreamOpen = 0;
    Handshake(channel); // the stream goes whether or not the client answers
    channel->waveMiniport->currentStream = nullptr;
}

VOID SetChannelMask(TransportChannel* channel, ULONG mask) {
    channel->currentFormat.ChannelMask = mask;
    channel->controlBlock->ChannelMask = mask;
}

NTSTATUS MatchDeviceFormat(TransportChannel* channel, const WAVEFORMATEXTENSIBLE* format) {
    if (!IsValidWaveFormat(format)) {
        return STATUS_INVALID_PARAMETER;
    }
    const DeviceFormat& device = channel->currentFormat;
    if (!IsPcmOrFloat(format) || format->Format.nSamplesPerSec != device.SampleRate) {
        return STATUS_NO_MATCH;
    }
    ULONG validBits = IsExtensibleLayout(format) ? format->Samples.wValidBitsPerSample
                                                 : format->Format.wBitsPerSample;
    if (validBits != device.BitsPerSample || format->Format.nChannels != device.Channels ||
        static_cast<ULONG>(format->Format.wBitsPerSample / 8) != device.ContainerBytes) {
        return STATUS_NO_MATCH;
    }
    return STATUS_SUCCESS;
}
