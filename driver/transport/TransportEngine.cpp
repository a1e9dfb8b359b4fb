// The channel's worker thread, which turns the client's tick requests into stream ticks, and
// the handshake through which stream state, buffer and lifetime changes wait for the client.
#include "TransportChannel.h"

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

// A 32-bit field of the shared block, for interlocked stores.
template <class Field>
LONG volatile* Word(Field* field) {
    static_assert(sizeof(Field) == sizeof(LONG), "a 32-bit field");
    return reinterpret_cast<LONG volatile*>(field);
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
    transport::TransportControlBlock* block = channel->controlBlock;
    InterlockedOr(HandshakeFlags(channel), transport::AwaitingClient | transport::HandshakeActive);

    // Numbers run 1, 2, ... and skip 0, which names no handshake.
    channel->handshakeCount = channel->handshakeCount == MAXULONG ? 1 : channel->handshakeCount + 1;
    const ULONG number = channel->handshakeCount;
    // The client may read these from its answering thread at any time: each is one aligned
    // word, and the number goes last, just before the event, so a client that sees the new
    // number also sees the fields the caller wrote for it.
    InterlockedExchange(Word(&block->ClientStatus), STATUS_UNSUCCESSFUL);
    InterlockedExchange(Word(&block->HandshakeOutcome), transport::HandshakeWaiting);
    InterlockedExchange(Word(&block->HandshakeNumber), static_cast<LONG>(number));
    channel->latch.Open(number);

    const bool signalled = SignalClient(channel);
    NTSTATUS wait = STATUS_TIMEOUT;
    if (signalled) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = OneSecondRelative;
        wait = KeWaitForSingleObject(channel->latch.SettledEvent(), Executive, KernelMode, FALSE,
                                     &timeout);
    }
    ULONG outcome = transport::HandshakeWaiting;
    const NTSTATUS result = channel->latch.Close(signalled, wait, &outcome);
    if (outcome == transport::HandshakeAnswered || outcome == transport::HandshakeRefused) {
        InterlockedExchange(Word(&block->ClientStatus), result);
        InterlockedAnd(HandshakeFlags(channel), ~static_cast<LONG>(transport::AwaitingClient));
    }
    InterlockedExchange(Word(&block->HandshakeOutcome), static_cast<LONG>(outcome));
    InterlockedAnd(HandshakeFlags(channel), ~static_cast<LONG>(transport::HandshakeActive));
    return result;
}

VOID AbandonHandshake(TransportChannel* channel) {
    channel->latch.Abandon();
}

bool SignalClient(TransportChannel* channel) {
    TransportEndpoint* endpoint = channel->endpoint;
    // The event cannot be released while this lock is held, so it is set under it. The woken
    // client never takes this lock, so it does not wait for this thread either.
    SpinLockHolder held(endpoint->clientEventLock);
    PKEVENT event = endpoint->clientEvent;
    if (event == nullptr) {
        return false;
    }
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return true;
}

VOID ChannelTick(TransportChannel* channel) {
    if (HasActiveStream(channel)) {
        channel->liveStream->Tick();
    }
}

VOID AttachStream(TransportChannel* channel, LiveStream* stream) {
    channel->liveStream = stream;
    channel->controlBlock->StreamOpen = 1;
}

VOID DetachStream(TransportChannel* channel) {
    if (!HasActiveStream(channel)) {
        return;
    }
    channel->controlBlock->StreamOpen = 0;
    Handshake(channel); // the stream goes whether or not the client answers
    channel->liveStream = nullptr;
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
