// The WaveRT stream of one direction: the audio engine's buffer as a view of the shared data
// buffer, the client's position turned into the engine's position and notifications, and every
// state and buffer change handshaken with the client through the control block.
#pragma once

#include "support/UnknownBase.h"
#include "platform/AudioHeaders.h"
#include "support/Lists.h"
#include "support/Locks.h"
#include "transport/ChannelListeners.h"
#include "transport/TransportProtocol.h"

class CMiniportWaveRT;
class TransportChannel;

// Creates a stream object of the direction (reference count 0) and returns its primary
// interface, which is also its IMiniportWaveRTStream. STATUS_INSUFFICIENT_RESOURCES when memory
// runs out; *stream is null on failure.
NTSTATUS CreateWaveRTStream(PMINIPORTWAVERTSTREAM* stream, bool isCapture,
                            CMiniportWaveRT* miniport, PPORTWAVERTSTREAM portStream,
                            TransportChannel* channel);

// The stream's first format (an extensible record): checks it against the device format and,
// when it matches, links the stream into the channel. The caller holds ChannelLock.
NTSTATUS InitWaveRTStreamFormat(PMINIPORTWAVERTSTREAM stream, const WAVEFORMATEXTENSIBLE* record);

class CMiniportWaveRTStream : public UnknownBase,
                              public IMiniportWaveRTStreamNotification,
                              public IMiniportWaveRTInputStream,
                              public IMiniportWaveRTOutputStream,
                              public LiveStream {
public:
    // The caller holds ChannelLock.
    CMiniportWaveRTStream(bool isCapture, CMiniportWaveRT* miniport, PPORTWAVERTSTREAM portStream,
                          TransportChannel* channel);
    // Walks the state down to stop, unlinks from the channel and releases what it holds.
    ~CMiniportWaveRTStream() override;

    FORWARD_UNKNOWN_TO_OUTER

    NTSTATUS NTAPI NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // IMiniportWaveRTStream
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE requested) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PKSAUDIO_POSITION position) override;
    STDMETHODIMP_(NTSTATUS)
    AllocateAudioBuffer(ULONG requestedSize, PMDL* audioBufferMdl, ULONG* actualSize,
                        ULONG* offsetFromFirstPage, MEMORY_CACHING_TYPE* cacheType) override;
    STDMETHODIMP_(void) FreeAudioBuffer(PMDL audioBufferMdl, ULONG bufferSize) override;
    STDMETHODIMP_(void) GetHWLatency(KSRTAUDIO_HWLATENCY* hwLatency) override;
    STDMETHODIMP_(NTSTATUS) GetPositionRegister(KSRTAUDIO_HWREGISTER* hwRegister) override;
    STDMETHODIMP_(NTSTATUS) GetClockRegister(KSRTAUDIO_HWREGISTER* hwRegister) override;

    // IMiniportWaveRTStreamNotification
    STDMETHODIMP_(NTSTATUS)
    AllocateBufferWithNotification(ULONG notificationCount, ULONG requestedSize,
                                   PMDL* audioBufferMdl, ULONG* actualSize,
                                   ULONG* offsetFromFirstPage,
                                   MEMORY_CACHING_TYPE* cacheType) override;
    STDMETHODIMP_(void) FreeBufferWithNotification(PMDL audioBufferMdl, ULONG bufferSize) override;
    STDMETHODIMP_(NTSTATUS) RegisterNotificationEvent(PKEVENT notificationEvent) override;
    STDMETHODIMP_(NTSTATUS) UnregisterNotificationEvent(PKEVENT notificationEvent) override;

    // IMiniportWaveRTInputStream
    STDMETHODIMP_(NTSTATUS)
    GetReadPacket(ULONG* packetNumber, DWORD* flags, ULONG64* performanceCounterValue,
                  BOOL* moreData) override;

    // IMiniportWaveRTOutputStream
    STDMETHODIMP_(NTSTATUS)
    SetWritePacket(ULONG packetNumber, DWORD flags, ULONG eosPacketLength) override;
    STDMETHODIMP_(NTSTATUS)
    GetOutputStreamPresentationPosition(KSAUDIO_PRESENTATION_POSITION* presentation) override;
    STDMETHODIMP_(NTSTATUS) GetPacketCount(ULONG* packetCount) override;

    // The first format; links the stream into the channel on success. Under ChannelLock.
    NTSTATUS InitFormat(const WAVEFORMATEXTENSIBLE* record);
    // One position update while running. The worker holds ChannelLock.
    VOID Tick() override;

    PMINIPORTWAVERTSTREAM PrimaryInterface() {
        return static_cast<IMiniportWaveRTStreamNotification*>(this);
    }
    static CMiniportWaveRTStream* FromPrimary(PMINIPORTWAVERTSTREAM stream) {
        return static_cast<CMiniportWaveRTStream*>(
            static_cast<IMiniportWaveRTStreamNotification*>(stream));
    }

private:
    // A registered notification event.
    struct EventNode {
        ListNode node; // first: a node pointer is the element pointer
        PKEVENT event;
    };

    NTSTATUS ApplyFormat(const WAVEFORMATEXTENSIBLE* record);
    // The work of one accepted state step from state to next, under ChannelLock; on failure
    // the stream stays where it is.
    NTSTATUS EnterState(ULONG next);
    VOID ResetCounters();
    // The caller holds ChannelLock; periods is the notification count the buffer is cut into.
    // addressedByPacket: the engine may address the buffer by packet, so each holds whole frames.
    NTSTATUS AllocateBufferCore(ULONG periods, bool addressedByPacket, ULONG requestedSize,
                                PMDL* audioBufferMdl, ULONG* actualSize);
    // Under PositionLock: the client's frame in the buffer from one reading of ClientPosition,
    // carried forward from the last tick without moving the tick's baseline.
    ULONG ClientFrameNow();
    // Under PositionLock.
    ULONG ComputeAheadFrames();
    VOID MarkPacketMode();
    VOID CountPacketError();
    VOID SignalEvents();
    VOID FreeEventNodes();
    transport::TransportControlBlock* Block() { return controlBlock; }

public:
    const UCHAR isCapture;
    CMiniportWaveRT* const miniport;
    TransportChannel* const channel;
    PPORTWAVERTSTREAM const portStream;
    WAVEFORMATEXTENSIBLE format;
    ULONG state;
    ULONG targetState;
    UCHAR gavePositionRegister;
    UCHAR hasNotificationBuffer;
    UCHAR inPacketMode;
    RecursiveSpinLock PositionLock;
    // Frames presented: the completed packets times the frames per packet, stamped with the
    // performance counter at the tick that completed the last of them.
    ULONGLONG presentationPosition;
    ULONGLONG presentationTime;
    LONG packetErrors;
    PVOID bufferAddress;
    ULONGLONG bufferBytes;
    ULONG bufferFrames;
    ULONG position;
    // The client's frames since the last counter reset, and the ClientPosition reading that the
    // last tick took them from (see StreamPositions.h).
    ULONGLONG clientFrames;
    ULONG lastClientPosition;
    ULONG notificationCount;
    ULONGLONG bytesPerNotification;
    ULONG framesPerNotification;
    ULONG completedPackets;
    ULONG packetCursor;
    ULONGLONG packetTimes[2];
    UCHAR endOfStream;
    transport::u32* positionRegister;
    transport::TransportControlBlock* controlBlock;
    List notificationEvents;
    RecursiveSpinLock EventListLock;
    // The view handed to the port, kept so that a stream destroyed with its buffer still
    // allocated does not leave the mapping behind.
    PMDL bufferMdl;
};
