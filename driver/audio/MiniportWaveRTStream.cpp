// The WaveRT stream object: identity, format, the handshaken state machine, the buffer view of
// the shared data buffer, the position the client drives, and the notification events.
#include "audio/MiniportWaveRTStream.h"

#include "audio/MiniportWaveRT.h"
#include "audio/StreamPositions.h"
#include "support/DataFormat.h"
#include "support/Memory.h"
#include "support/WaveFormat.h"
#include "transport/SharedBuffer.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

void ClearStreamFormatTag(transport::TransportControlBlock* block) {
    block->StreamFormat[0] = 0;
    block->StreamFormat[1] = 0;
}

} // namespace

NTSTATUS CreateWaveRTStream(PMINIPORTWAVERTSTREAM* stream, bool isCapture,
                            CMiniportWaveRT* miniport, PPORTWAVERTSTREAM portStream,
                            TransportChannel* channel) {
    CMiniportWaveRTStream* created =
        new CMiniportWaveRTStream(isCapture, miniport, portStream, channel);
    if (created == nullptr) {
        *stream = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *stream = created->PrimaryInterface();
    return STATUS_SUCCESS;
}

NTSTATUS InitWaveRTStreamFormat(PMINIPORTWAVERTSTREAM stream, const WAVEFORMATEXTENSIBLE* record) {
    return CMiniportWaveRTStream::FromPrimary(stream)->InitFormat(record);
}

CMiniportWaveRTStream::CMiniportWaveRTStream(bool isCapture, CMiniportWaveRT* miniport,
                                             PPORTWAVERTSTREAM portStream,
                                             TransportChannel* channel)
    : UnknownBase(nullptr), isCapture(isCapture ? 1 : 0), miniport(miniport), channel(channel),
      portStream(portStream), format{}, state(KSSTATE_STOP), targetState(KSSTATE_STOP),
      gavePositionRegister(0), hasNotificationBuffer(0), inPacketMode(0), presentationPosition(0),
      presentationTime(0), packetErrors(0), bufferAddress(nullptr), bufferBytes(0), bufferFrames(0),
      position(0), clientFrames(0), lastClientPosition(0), notificationCount(0),
      bytesPerNotification(0), framesPerNotification(0), completedPackets(0),
      packetCursor(0), packetTimes{0, 0}, endOfStream(0), positionRegister(nullptr),
      controlBlock(channel->controlBlock), notificationEvents{}, bufferMdl(nullptr) {
    miniport->MiniportInterface()->AddRef();
    if (portStream != nullptr) {
        portStream->AddRef();
    }
    ListInit(&notificationEvents);
    positionRegister = &controlBlock->PositionRegister;
    ClearStreamFormatTag(controlBlock);
    controlBlock->BufferFrames = 0;
    controlBlock->AheadFrames = 0;
    ResetCounters();
    controlBlock->StreamModeFlags = 0;
}

CMiniportWaveRTStream::~CMiniportWaveRTStream() {
    while (state != KSSTATE_STOP) {
        if (!NT_SUCCESS(SetState(static_cast<KSSTATE>(state - 1)))) {
            break; // steps down do not fail; never spin if one did
        }
    }
    channel->ChannelLock.Lock();
    if (channel->liveStream == this) { // a stream whose first format was refused was never linked
        DetachStream(channel);
    }
    if (bufferAddress != nullptr) {
        // The port never freed its buffer: take the view down with the stream.
        MmUnmapLockedPages(bufferAddress, bufferMdl);
        IoFreeMdl(bufferMdl);
        bufferAddress = nullptr;
        bufferMdl = nullptr;
    }
    channel->ChannelLock.Unlock();
    // Unlinked: no tick can reach the events any more, so their nodes can go.
    FreeEventNodes();
    if (portStream != nullptr) {
        portStream->Release();
    }
    miniport->MiniportInterface()->Release();
}

NTSTATUS NTAPI CMiniportWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    PUNKNOWN chosen = nullptr;
    if (IsEqualGUID(iid, IID_IMiniportWaveRTStream) ||
        IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)) {
        chosen = reinterpret_cast<PUNKNOWN>(PrimaryInterface());
    } else if (IsEqualGUID(iid, IID_IMiniportWaveRTInputStream)) {
        chosen = reinterpret_cast<PUNKNOWN>(static_cast<IMiniportWaveRTInputStream*>(this));
    } else if (IsEqualGUID(iid, IID_IMiniportWaveRTOutputStream)) {
        chosen = reinterpret_cast<PUNKNOWN>(static_cast<IMiniportWaveRTOutputStream*>(this));
    }
    return AnswerInterface(chosen, object);
}

NTSTATUS CMiniportWaveRTStream::ApplyFormat(const WAVEFORMATEXTENSIBLE* record) {
    NTSTATUS status = MatchDeviceFormat(channel, record);
    if (!NT_SUCCESS(status)) {
        format.Format.wFormatTag = 0;
        ClearStreamFormatTag(controlBlock);
        return status;
    }
    format = *record;
    if (format.dwChannelMask == 0 && format.Format.nChannels != 0 &&
        format.Format.nChannels <= 32) {
        format.dwChannelMask = 0xFFFFFFFFu >> (32 - format.Format.nChannels);
    }
    RtlCopyMemory(controlBlock->StreamFormat, &format, sizeof(controlBlock->StreamFormat));
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveRTStream::InitFormat(const WAVEFORMATEXTENSIBLE* record) {
    NTSTATUS status = ApplyFormat(record);
    if (NT_SUCCESS(status)) {
        AttachStream(channel, this);
    }
    return status;
}

VOID CMiniportWaveRTStream::ResetCounters() {
    PositionLock.Lock();
    clientFrames = 0;
    lastClientPosition = 0;
    controlBlock->ClientPosition = 0;
    controlBlock->PositionRegister = 0;
    position = 0;
    controlBlock->DriverPosition = 0;
    InterlockedExchange(reinterpret_cast<LONG volatile*>(&completedPackets), 0);
    packetCursor = 0;
    endOfStream = 0;
    packetTimes[0] = 0;
    packetTimes[1] = 0;
    presentationPosition = 0;
    presentationTime = 0;
    PositionLock.Unlock();
    controlBlock->StreamState = KSSTATE_STOP;
    controlBlock->SpareCounter = 0;
    packetErrors = 0;
    controlBlock->StreamPacketErrors = 0;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::SetFormat(PKSDATAFORMAT dataFormat) {
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LockHolder held(channel->ChannelLock);
    WAVEFORMATEXTENSIBLE record;
    RtlZeroMemory(&record, sizeof(record));
    status = AcceptStreamFormat(&record, dataFormat, 0, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (state == KSSTATE_RUN) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WAVEFORMATEXTENSIBLE kept = format;
    status = ApplyFormat(&record);
    if (!NT_SUCCESS(status) && kept.Format.wFormatTag != 0) {
        ApplyFormat(&kept); // restores the format the stream had; its result cannot differ
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::SetState(KSSTATE requested) {
    LockHolder held(channel->ChannelLock);
    const ULONG next = static_cast<ULONG>(requested);
    const NTSTATUS connected = CheckClientConnected(channel);
    if (!NT_SUCCESS(connected) && next > state) {
        return connected; // without a client a stream only goes down
    }
    if (next > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    if (targetState != state) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (next == state) {
        return STATUS_SUCCESS;
    }
    if (next != state + 1 && next + 1 != state) {
        return STATUS_INVALID_PARAMETER;
    }

    targetState = next;
    controlBlock->StreamState = next;
    const NTSTATUS answer = Handshake(channel);
    if (!NT_SUCCESS(answer)) {
        controlBlock->StreamState = state;
        if (next > state) {
            targetState = state;
            return answer;
        }
        // A step down goes ahead whatever the client answered.
    }
    const NTSTATUS status = EnterState(next);
    if (NT_SUCCESS(status)) {
        state = next;
    }
    targetState = state;
    controlBlock->StreamState = state;
    return status;
}

NTSTATUS CMiniportWaveRTStream::EnterState(ULONG next) {
    if (state == KSSTATE_STOP && next == KSSTATE_ACQUIRE) {
        return format.Format.wFormatTag == 0 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    }
    if (state == KSSTATE_PAUSE && next == KSSTATE_RUN) {
        if (format.Format.wFormatTag == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        const ULONGLONG now = static_cast<ULONGLONG>(KeQueryPerformanceCounter(nullptr).QuadPart);
        LockHolder positions(PositionLock);
        if (isCapture) {
            packetTimes[completedPackets & 1] = now;
        }
        if (presentationTime == 0) {
            presentationTime = now; // position 0 is presented from the first run on
        }
        return STATUS_SUCCESS;
    }
    if (state == KSSTATE_ACQUIRE && next == KSSTATE_STOP) {
        ResetCounters();
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetPosition(PKSAUDIO_POSITION audioPosition) {
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LockHolder held(PositionLock);
    ULONG blockAlign = format.Format.nBlockAlign;
    audioPosition->PlayOffset = static_cast<ULONGLONG>(ClientFrameNow()) * blockAlign;
    audioPosition->WriteOffset = static_cast<ULONGLONG>(position) * blockAlign;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::AllocateAudioBuffer(ULONG requestedSize, PMDL* audioBufferMdl,
                                           ULONG* actualSize, ULONG* offsetFromFirstPage,
                                           MEMORY_CACHING_TYPE* cacheType) {
    LockHolder held(channel->ChannelLock);
    NTSTATUS status = AllocateBufferCore(2, false, requestedSize, audioBufferMdl, actualSize);
    if (NT_SUCCESS(status)) {
        *offsetFromFirstPage = 0;
        *cacheType = MmCached;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::AllocateBufferWithNotification(ULONG count, ULONG requestedSize,
                                                      PMDL* audioBufferMdl, ULONG* actualSize,
                                                      ULONG* offsetFromFirstPage,
                                                      MEMORY_CACHING_TYPE* cacheType) {
    LockHolder held(channel->ChannelLock);
    NTSTATUS status = STATUS_SUCCESS;
    if (count < 1 || count > 2 || requestedSize % count != 0 ||
        FramesForRequest(requestedSize, format.Format.nBlockAlign) / count == 0) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = AllocateBufferCore(count, true, requestedSize, audioBufferMdl, actualSize);
    }
    if (NT_SUCCESS(status)) {
        *offsetFromFirstPage = 0;
        *cacheType = MmCached;
        hasNotificationBuffer = 1;
        InterlockedOr(reinterpret_cast<LONG volatile*>(&controlBlock->StreamModeFlags),
                      transport::NotificationBuffer);
    }
    return status;
}

NTSTATUS CMiniportWaveRTStream::AllocateBufferCore(ULONG periods, bool addressedByPacket,
                                                   ULONG requestedSize, PMDL* audioBufferMdl,
                                                   ULONG* actualSize) {
    NTSTATUS status = CheckClientConnected(channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG blockAlign = format.Format.nBlockAlign;
    if (bufferAddress != nullptr || blockAlign == 0 || requestedSize < blockAlign) {
        return STATUS_UNSUCCESSFUL;
    }
    PMDL dataMdl = GetDataBufferMdl(channel);
    const ULONGLONG alignedSize = AlignToFrames(requestedSize, blockAlign);
    if (alignedSize > channel->endpoint->dataBufferBytes) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (dataMdl == nullptr || alignedSize > MmGetMdlByteCount(dataMdl)) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG size = StreamBufferBytes(alignedSize, blockAlign, addressedByPacket ? periods : 1,
                                         channel->latency, MmGetMdlByteCount(dataMdl));
    if (size == 0) {
        return STATUS_INSUFFICIENT_RESOURCES; // the request does not fit in whole packets
    }

    PVOID start = MmGetMdlVirtualAddress(dataMdl);
    PMDL view = IoAllocateMdl(start, size, FALSE, FALSE, nullptr);
    if (view == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoBuildPartialMdl(dataMdl, view, start, size);
    PVOID mapping =
        MmMapLockedPagesSpecifyCache(view, KernelMode, MmCached, nullptr, FALSE,
                                     static_cast<MM_PAGE_PRIORITY>(SharedMappingPriority()));
    if (mapping == nullptr) {
        IoFreeMdl(view);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = Handshake(channel);
    if (!NT_SUCCESS(status)) {
        MmUnmapLockedPages(mapping, view);
        IoFreeMdl(view);
        return status;
    }
    if (!isCapture) {
        RtlFillMemory(mapping, size, SilenceByte(&format));
    }

    // The period count is taken only here, with the buffer: a refused second allocation leaves
    // the live buffer's layout as it was.
    PositionLock.Lock();
    notificationCount = periods;
    bufferBytes = size;
    bufferAddress = mapping;
    bufferMdl = view;
    bufferFrames = size / blockAlign;
    bytesPerNotification = size / notificationCount;
    framesPerNotification = bufferFrames / notificationCount;
    // A position left from an earlier buffer may lie past this one: start where the client is.
    position = ClientFrameNow();
    controlBlock->DriverPosition = position;
    PositionLock.Unlock();
    controlBlock->BufferFrames = bufferFrames;

    *audioBufferMdl = view;
    *actualSize = size;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveRTStream::FreeAudioBuffer(PMDL audioBufferMdl, ULONG bufferSize) {
    UNREFERENCED_PARAMETER(bufferSize);
    LockHolder held(channel->ChannelLock);
    if (bufferAddress != nullptr) {
        // Forgotten under PositionLock before it is unmapped: a packet call that holds the lock
        // either finishes with the mapping or no longer finds it.
        PositionLock.Lock();
        PVOID mapping = bufferAddress;
        PMDL view = bufferMdl;
        bufferAddress = nullptr;
        bufferMdl = nullptr;
        bufferBytes = 0;
        bufferFrames = 0;
        notificationCount = 0;
        bytesPerNotification = 0;
        framesPerNotification = 0;
        controlBlock->AheadFrames = 0; // packet calls write it under the same lock
        PositionLock.Unlock();
        MmUnmapLockedPages(mapping, view);
        controlBlock->BufferFrames = 0;
        Handshake(channel); // the client follows; a missing client changes nothing here
    }
    if (audioBufferMdl != nullptr) {
        IoFreeMdl(audioBufferMdl);
    }
}

STDMETHODIMP_(void)
CMiniportWaveRTStream::FreeBufferWithNotification(PMDL audioBufferMdl, ULONG bufferSize) {
    FreeAudioBuffer(audioBufferMdl, bufferSize);
}

STDMETHODIMP_(void) CMiniportWaveRTStream::GetHWLatency(KSRTAUDIO_HWLATENCY* hwLatency) {
    hwLatency->FifoSize = 0;
    hwLatency->ChipsetDelay = 0;
    hwLatency->CodecDelay = 0;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRTStream::GetPositionRegister(KSRTAUDIO_HWREGISTER* hwRegister) {
    if (positionRegister == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    channel->ChannelLock.Lock();
    hwRegister->Register = positionRegister;
    hwRegister->Width = 32;
    hwRegister->Numerator = 0;
    hwRegister->Denominator = 0;
    WAVEFORMATEXTENSIBLE shown = format;
    if (!HasFormatIdentity(&shown)) {
        RtlZeroMemory(&shown, sizeof(shown));
        BuildPlainWaveFormat(&shown, 44100, 16, 2, FALSE);
    }
    hwRegister->Accuracy = PositionAccuracy(shown.Format.nAvgBytesPerSec, shown.Format.nBlockAlign);
    channel->ChannelLock.Unlock();
    if (!gavePositionRegister) {
        gavePositionRegister = 1;
        InterlockedOr(reinterpret_cast<LONG volatile*>(&controlBlock->StreamModeFlags),
                      transport::PositionRegisterUsed);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetClockRegister(KSRTAUDIO_HWREGISTER* hwRegister) {
    UNREFERENCED_PARAMETER(hwRegister);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::RegisterNotificationEvent(PKEVENT event) {
    LockHolder held(EventListLock);
    NTSTATUS status = CheckClientConnected(channel);
    if (NT_SUCCESS(status)) {
        for (ListNode* node = notificationEvents.first; node != nullptr; node = node->next) {
            if (reinterpret_cast<EventNode*>(node)->event == event) {
                status = STATUS_ALREADY_REGISTERED;
                break;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        EventNode* entry = static_cast<EventNode*>(AllocateMemory(sizeof(EventNode)));
        if (entry == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ListNodeInit(&entry->node);
            entry->event = event;
            ListAppend(&notificationEvents, &entry->node);
        }
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::UnregisterNotificationEvent(PKEVENT event) {
    LockHolder held(EventListLock);
    NTSTATUS status = STATUS_NOT_FOUND;
    for (ListNode* node = notificationEvents.first; node != nullptr; node = node->next) {
        if (reinterpret_cast<EventNode*>(node)->event == event) {
            ListRemove(&notificationEvents, node);
            FreeMemory(node);
            status = STATUS_SUCCESS;
            break;
        }
    }
    return status;
}

VOID CMiniportWaveRTStream::SignalEvents() {
    LockHolder held(EventListLock);
    for (ListNode* node = notificationEvents.first; node != nullptr; node = node->next) {
        KeSetEvent(reinterpret_cast<EventNode*>(node)->event, IO_NO_INCREMENT, FALSE);
    }
}

VOID CMiniportWaveRTStream::FreeEventNodes() {
    LockHolder held(EventListLock);
    for (ListNode* node = ListRemoveFirst(&notificationEvents); node != nullptr;
         node = ListRemoveFirst(&notificationEvents)) {
        FreeMemory(node);
    }
}

ULONG CMiniportWaveRTStream::ClientFrameNow() {
    const ULONG reading = controlBlock->ClientPosition;
    return FrameInBuffer(AdvanceClientFrames(clientFrames, lastClientPosition, reading),
                         bufferFrames);
}

ULONG CMiniportWaveRTStream::ComputeAheadFrames() {
    return FramesAhead(position, ClientFrameNow(), bufferFrames);
}

VOID CMiniportWaveRTStream::Tick() {
    if (state != KSSTATE_RUN) {
        return;
    }
    // One reading of the client's counter serves the whole tick.
    const ULONG reading = controlBlock->ClientPosition;
    const ULONGLONG now = static_cast<ULONGLONG>(KeQueryPerformanceCounter(nullptr).QuadPart);
    PositionLock.Lock();
    const ULONGLONG previous = clientFrames;
    clientFrames = AdvanceClientFrames(clientFrames, lastClientPosition, reading);
    lastClientPosition = reading;
    const ULONG current = FrameInBuffer(clientFrames, bufferFrames);
    if (!inPacketMode) {
        position = current;
        controlBlock->DriverPosition = current;
    }
    // Every period the client completed counts, however many passed since the last tick:
    // the packet count must keep addressing the slot the client is not in.
    const ULONG completed = PeriodsCompleted(previous, clientFrames, bufferFrames,
                                             framesPerNotification, notificationCount);
    if (completed != 0) {
        const ULONG before = completedPackets;
        InterlockedExchange(reinterpret_cast<LONG volatile*>(&completedPackets),
                            static_cast<LONG>(before + completed));
        if (isCapture) {
            // Each packet that began now gets the time; with two slots only the last two matter.
            for (ULONG packet = completed > 2 ? completed - 1 : 1; packet <= completed; ++packet) {
                packetTimes[(before + packet) & 1] = now;
            }
        }
        presentationPosition += static_cast<ULONGLONG>(completed) * framesPerNotification;
        presentationTime = now;
    }
    controlBlock->AheadFrames = FramesAhead(position, current, bufferFrames);
    PositionLock.Unlock();
    if (completed != 0) {
        SignalEvents(); // once: the engine reads how far the count went
    }
}
