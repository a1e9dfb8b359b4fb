// The packet interfaces of the WaveRT stream: the audio engine reads and writes one notification
// period at a time, counted against the periods the client's position has completed. Only
// PositionLock is taken here, so a packet call never waits behind a client handshake.
#include "audio/MiniportWaveRTStream.h"
#include "audio/StreamPositions.h"
#include "support/WaveFormat.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

// The tick reads the mark under PositionLock while the engine's thread makes it; without the
// lock the two would race on the flag.
VOID CMiniportWaveRTStream::MarkPacketMode() {
    LockHolder held(PositionLock);
    if (!inPacketMode) {
        inPacketMode = 1;
        InterlockedOr(reinterpret_cast<LONG volatile*>(&controlBlock->StreamModeFlags),
                      transport::PacketMode);
    }
}

VOID CMiniportWaveRTStream::CountPacketError() {
    controlBlock->StreamPacketErrors = static_cast<ULONG>(InterlockedIncrement(&packetErrors));
    controlBlock->ChannelPacketErrors =
        static_cast<ULONG>(InterlockedIncrement(&channel->packetErrorCount));
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::GetReadPacket(ULONG* packetNumber, DWORD* flags,
                                     ULONG64* performanceCounterValue, BOOL* moreData) {
    MarkPacketMode();
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LockHolder held(PositionLock);
    if (!hasNotificationBuffer) {
        status = STATUS_NOT_SUPPORTED;
    } else {
        position = PacketStartFrame(packetCursor, notificationCount, framesPerNotification);
        controlBlock->DriverPosition = position;
        if (packetCursor == completedPackets) {
            status = STATUS_DEVICE_NOT_READY; // no completed packet waiting
        } else {
            *packetNumber = packetCursor;
            *flags = 0;
            // The tick stamps the start of packet n into slot n & 1, whatever the packet count:
            // reading the same slot gives each packet its own start, also with one packet per
            // buffer.
            *performanceCounterValue = packetTimes[packetCursor & 1];
            packetCursor++;
            // An engine that fell behind takes the next packet at once instead of waiting for
            // the next notification.
            *moreData = packetCursor != completedPackets ? TRUE : FALSE;
        }
    }
    controlBlock->AheadFrames = ComputeAheadFrames();
    return status;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::SetWritePacket(ULONG packetNumber, DWORD flags, ULONG eosPacketLength) {
    MarkPacketMode();
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LockHolder held(PositionLock);
    const ULONG expected = completedPackets + 1;
    if (!hasNotificationBuffer) {
        status = STATUS_NOT_SUPPORTED;
    } else if ((flags & ~static_cast<DWORD>(KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM)) != 0) {
        status = STATUS_INVALID_PARAMETER; // end of stream is the only flag defined
    } else if (endOfStream) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (packetNumber < expected) {
        status = STATUS_DATA_LATE_ERROR;
        CountPacketError();
    } else if (packetNumber > expected) {
        status = STATUS_DATA_OVERRUN;
        CountPacketError();
    } else if (bufferAddress == nullptr || notificationCount == 0) {
        // The notification buffer was freed: there is no packet to take.
        status = STATUS_DEVICE_NOT_READY;
    } else {
        const bool isEnd = (flags & KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM) != 0;
        if (isEnd && eosPacketLength > bytesPerNotification) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            if (isEnd) {
                endOfStream = 1;
            }
            const ULONGLONG valid = isEnd ? eosPacketLength : bytesPerNotification;
            if (valid < bytesPerNotification) {
                PUCHAR packet = static_cast<PUCHAR>(bufferAddress) +
                                PacketOffset(packetNumber, notificationCount, bytesPerNotification);
                RtlFillMemory(packet + valid, static_cast<SIZE_T>(bytesPerNotification - valid),
                              SilenceByte(&format));
            }
            position = PacketStartFrame(packetNumber + 1, notificationCount, framesPerNotification);
            controlBlock->DriverPosition = position;
            packetCursor = packetNumber;
        }
    }
    controlBlock->AheadFrames = ComputeAheadFrames();
    return status;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::GetOutputStreamPresentationPosition(
    KSAUDIO_PRESENTATION_POSITION* presentation) {
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The position the last completed packet reached, with the time it was reached: the two
    // move together, and never back, until the counters are reset.
    const ULONGLONG now = static_cast<ULONGLONG>(KeQueryPerformanceCounter(nullptr).QuadPart);
    LockHolder held(PositionLock);
    presentation->u64PositionInBlocks = presentationPosition;
    // Before the first run nothing was presented yet: position 0 holds now.
    presentation->u64QPCPosition = presentationTime != 0 ? presentationTime : now;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetPacketCount(ULONG* packetCount) {
    MarkPacketMode();
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!hasNotificationBuffer) {
        return STATUS_NOT_SUPPORTED;
    }
    // No lock, so that the count never waits behind a tick; the count's writers are
    // interlocked, and so is this read.
    *packetCount = static_cast<ULONG>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&completedPackets), 0, 0));
    return STATUS_SUCCESS;
}
