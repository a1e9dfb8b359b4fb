// The WaveRT stream driven as the port drives it, against a loaded driver and a connected
// client whose thread answers every handshake: sizes, states, ticks, registers, formats,
// packets and teardown, each checked in the control block the client reads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "DriverTest.h"
#include "audio/MiniportWaveRT.h"
#include "audio/MiniportWaveRTStream.h"
#include "kernel/UserEvents.h"
#include "support/DataFormat.h"
#include "support/WaveFormat.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

using transport::TransportControlBlock;

// The port's stream object as the miniport sees it: only its reference count matters.
class PortStreamStandIn : public IPortWaveRTStream {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS, SIZE_T) override { return nullptr; }
    STDMETHODIMP_(PMDL)
    AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, SIZE_T) override {
        return nullptr;
    }
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL, MEMORY_CACHING_TYPE) override { return nullptr; }
    STDMETHODIMP_(void) UnmapAllocatedPages(PVOID, PMDL) override {}
    STDMETHODIMP_(void) FreePagesFromMdl(PMDL) override {}
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL) override { return 0; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL, ULONG) override {
        PHYSICAL_ADDRESS none;
        none.QuadPart = 0;
        return none;
    }
    LONG references = 0;
};

// A buffer the port holds: released through the stream before the stream goes.
struct HeldBuffer {
    PMDL mdl = nullptr;
    ULONG size = 0;
};

class StreamTest : public DriverTest {
protected:
    void TearDown() override {
        StopAnswering();
        DriverTest::TearDown();
    }

    // Starts the driver and connects a client to the direction whose stream is a render stream
    // (the Capture channel) or a capture stream (the Render channel).
    void Connect(bool captureStream = false) {
        LoadAndStart();
        captureStream_ = captureStream;
        channel_ = captureStream ? &Adapter()->renderChannel : &Adapter()->captureChannel;
        filters_ = captureStream ? &Adapter()->renderFilters : &Adapter()->captureFilters;
        client_ = &NewProcess(false);
        file_ = OpenTransport(*client_, captureStream);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
        clientBlock_ = ClientControlBlock(*client_, file_);
        ASSERT_NE(clientBlock_, nullptr);
        // The tests read the driver's own mapping, which outlives the client's.
        block_ = channel_->controlBlock;
        {
            host::ProcessScope scope(client_);
            event_ = host::user::CreateEvent(false, false);
        }
        ASSERT_NE(event_, nullptr);
        unsigned char input[transport::SetEventInputBytes64] = {1, 0, 0, 0};
        std::memcpy(input + transport::SetEventHandleOffset, &event_, sizeof(event_));
        ASSERT_EQ(
            Control(*client_, file_, transport::IoctlSetEvent, input, sizeof(input), nullptr, 0),
            STATUS_SUCCESS);
        stop_ = false;
        answerer_ = std::thread([this] { Answer(); });
    }

    // The client's side of the handshake: wake on the event, note what the driver asks, and
    // answer with the current answer.
    void Answer() {
        for (;;) {
            DWORD wait;
            {
                host::ProcessScope scope(client_);
                wait = host::user::WaitForSingleObject(event_, INFINITE);
            }
            if (stop_ || wait != WAIT_OBJECT_0) {
                return;
            }
            if ((clientBlock_->HandshakeFlags & transport::AwaitingClient) == 0) {
                continue;
            }
            seenStates_.push_back(clientBlock_->StreamState);
            handshakes_++;
            transport::ReportStatusInput report{1, answer_.load()};
            Control(*client_, file_, transport::IoctlReportStatus, &report, sizeof(report), nullptr,
                    0);
        }
    }

    void StopAnswering() {
        if (!answerer_.joinable()) {
            return;
        }
        stop_ = true;
        {
            host::ProcessScope scope(client_);
            host::user::SetEvent(event_);
        }
        answerer_.join();
    }

    // The client goes away: no more answers, its file closed.
    void Disconnect() {
        StopAnswering();
        Close(*client_, file_);
    }

    void SetDeviceFormat(ULONG rate, ULONG bits, ULONG channels, ULONG containerBytes) {
        transport::SetFormatInput input{1, rate, bits, channels, containerBytes, 0};
        ASSERT_EQ(
            Control(*client_, file_, transport::IoctlSetFormat, &input, sizeof(input), nullptr, 0),
            STATUS_SUCCESS);
    }
    void SetLatency(ULONG frames) {
        transport::SetLatencyInput input{1, frames};
        ASSERT_EQ(
            Control(*client_, file_, transport::IoctlSetLatency, &input, sizeof(input), nullptr, 0),
            STATUS_SUCCESS);
    }

    std::vector<unsigned char> FormatBlock(ULONG rate, ULONG bits, ULONG channels,
                                           ULONG containerBytes) {
        WAVEFORMATEXTENSIBLE record{};
        EXPECT_TRUE(BuildWaveFormat(&record, rate, bits, channels, containerBytes, AnyChannelMask,
                                    FALSE, FALSE));
        std::vector<unsigned char> block(DataFormatBlockBytes);
        block.resize(BuildKsDataFormat(&record, block.data()));
        return block;
    }
    // The device's current format as a data-format block.
    std::vector<unsigned char> DeviceBlock() {
        const DeviceFormat& f = channel_->currentFormat;
        return FormatBlock(f.SampleRate, f.BitsPerSample, f.Channels, f.ContainerBytes);
    }

    NTSTATUS NewStream() {
        std::vector<unsigned char> format = DeviceBlock();
        return filters_->waveMiniport->NewStream(&stream_, &portStream_, 0, captureStream_,
                                                 reinterpret_cast<PKSDATAFORMAT>(format.data()));
    }
    // The 48 kHz, 16-bit stereo stream of the published figures.
    void NewStereoStream() {
        SetDeviceFormat(48000, 16, 2, 2);
        ASSERT_EQ(NewStream(), STATUS_SUCCESS);
    }
    CMiniportWaveRTStream* Stream() { return CMiniportWaveRTStream::FromPrimary(stream_); }
    PMINIPORTWAVERTSTREAMNOTIFICATION Notification() { return Stream(); }

    NTSTATUS Allocate(ULONG request, HeldBuffer* held) {
        ULONG offset = 0xCC;
        MEMORY_CACHING_TYPE caching = MmNonCached;
        NTSTATUS status =
            stream_->AllocateAudioBuffer(request, &held->mdl, &held->size, &offset, &caching);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(offset, 0u);
            EXPECT_EQ(caching, MmCached);
        }
        return status;
    }
    NTSTATUS AllocateNotified(ULONG count, ULONG request, HeldBuffer* held) {
        ULONG offset = 0xCC;
        MEMORY_CACHING_TYPE caching = MmNonCached;
        return Notification()->AllocateBufferWithNotification(count, request, &held->mdl,
                                                              &held->size, &offset, &caching);
    }
    void Free(HeldBuffer* held) {
        stream_->FreeAudioBuffer(held->mdl, held->size);
        *held = HeldBuffer();
    }

    void Walk(std::initializer_list<KSSTATE> states) {
        for (KSSTATE state : states) {
            ASSERT_EQ(stream_->SetState(state), STATUS_SUCCESS) << state;
        }
    }
    void Run() { Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}); }

    // One tick as the worker runs it, after the client moved its position.
    void TickAt(ULONG clientPosition) {
        block_->ClientPosition = clientPosition;
        channel_->ChannelLock.Lock();
        Resolve (&ChannelTick)(channel_);
        channel_->ChannelLock.Unlock();
    }

    void ReleaseStream() {
        if (stream_ != nullptr) {
            stream_->Release();
            stream_ = nullptr;
        }
    }

    unsigned char* DataBuffer() {
        return static_cast<unsigned char*>(Endpoint(captureStream_).dataBuffer.systemAddress);
    }

    bool captureStream_ = false;
    TransportChannel* channel_ = nullptr;
    DirectionFilters* filters_ = nullptr;
    host::Process* client_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    TransportControlBlock* block_ = nullptr;
    TransportControlBlock* clientBlock_ = nullptr;
    std::thread answerer_;
    std::atomic<bool> stop_{false};
    std::atomic<int> handshakes_{0};
    std::atomic<NTSTATUS> answer_{STATUS_SUCCESS};
    std::vector<ULONG> seenStates_; // written by the answerer only while a handshake waits
    PortStreamStandIn portStream_;
    PMINIPORTWAVERTSTREAM stream_ = nullptr;
};

// A notification event the audio engine would register; counts its signals by consuming them.
struct NotifyEvent {
    NotifyEvent() { KeInitializeEvent(&event, SynchronizationEvent, FALSE); }
    bool Signalled() {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
    }
    KEVENT event;
};

TEST_F(StreamTest, CreationLinksAndPublishes) {
    Connect();
    NewStereoStream();
    EXPECT_EQ(channel_->liveStream, Stream());
    EXPECT_EQ(block_->StreamOpen, 1);
    EXPECT_EQ(portStream_.references, 1);

    // A second stream of the direction is refused while the first lives.
    PMINIPORTWAVERTSTREAM kept = stream_;
    EXPECT_EQ(NewStream(), STATUS_INSUFFICIENT_RESOURCES);
    stream_ = kept;

    const int before = handshakes_;
    ReleaseStream();
    EXPECT_EQ(channel_->liveStream, nullptr);
    EXPECT_EQ(block_->StreamOpen, 0);
    EXPECT_EQ(handshakes_, before + 1) << "the client hears that the stream is gone";
    EXPECT_EQ(portStream_.references, 0);
}

TEST_F(StreamTest, BufferSizesAndSilence) {
    Connect();
    NewStereoStream();
    struct Case {
        ULONG request, actual, frames;
    };
    const Case cases[] = {{1000, 3840, 960}, {8002, 8004, 2001}, {524288, 524288, 131072}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::memset(DataBuffer(), 0x55, transport::DataBufferSize);
        const int before = handshakes_;
        HeldBuffer held;
        ASSERT_EQ(Allocate(c.request, &held), STATUS_SUCCESS);
        EXPECT_EQ(handshakes_, before + 1);
        EXPECT_EQ(held.size, c.actual);
        EXPECT_EQ(MmGetMdlByteCount(held.mdl), c.actual);
        EXPECT_EQ(block_->BufferFrames, c.frames);
        EXPECT_EQ(Stream()->framesPerNotification, c.frames / 2);
        EXPECT_EQ(Stream()->bytesPerNotification, c.actual / 2);
        // A render buffer starts silent, and only the buffer.
        const unsigned char* data = DataBuffer();
        size_t firstNonSilent = 0;
        while (firstNonSilent < transport::DataBufferSize && data[firstNonSilent] == 0) {
            ++firstNonSilent;
        }
        EXPECT_EQ(firstNonSilent, c.actual);
        // A second buffer while one exists is refused and leaves the first as it was.
        HeldBuffer second;
        EXPECT_EQ(AllocateNotified(1, 8, &second), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Stream()->notificationCount, 2u);
        Free(&held);
        EXPECT_EQ(block_->BufferFrames, 0u);
        EXPECT_EQ(handshakes_, before + 2);
    }
    HeldBuffer held;
    EXPECT_EQ(Allocate(3, &held), STATUS_UNSUCCESSFUL) << "below one frame";
    EXPECT_EQ(Allocate(524292, &held), STATUS_INSUFFICIENT_RESOURCES) << "above the data buffer";
    EXPECT_EQ(Allocate(0xFFFFFFFF, &held), STATUS_INSUFFICIENT_RESOURCES)
        << "a request that wraps when raised to whole frames";
    ReleaseStream();
}

TEST_F(StreamTest, BuffersNeverReachPastTheDataBuffer) {
    Connect();
    SetDeviceFormat(48000, 16, 2, 2);
    SetLatency(131072);               // the whole data buffer at 4-byte frames
    SetDeviceFormat(48000, 32, 8, 4); // now 32-byte frames: 4 MiB of latency
    ASSERT_EQ(NewStream(), STATUS_SUCCESS);
    HeldBuffer held;
    ASSERT_EQ(Allocate(1000, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.size, transport::DataBufferSize);
    EXPECT_EQ(MmGetMdlByteCount(held.mdl), transport::DataBufferSize);
    EXPECT_EQ(block_->BufferFrames, transport::DataBufferSize / 32);
    Free(&held);
    ReleaseStream();

    // 6-byte frames: the last whole frame ends 2 bytes short of the data buffer, two packets of
    // whole frames 8 bytes short; a request beyond that is refused, not cut.
    SetLatency(1);
    SetDeviceFormat(48000, 24, 2, 3);
    ASSERT_EQ(NewStream(), STATUS_SUCCESS);
    EXPECT_EQ(AllocateNotified(2, 524286, &held), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(block_->BufferFrames, 0u);
    ASSERT_EQ(AllocateNotified(2, 524280, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.size, 524280u);
    Free(&held);
    ASSERT_EQ(Allocate(524286, &held), STATUS_SUCCESS);
    EXPECT_EQ(held.size, 524286u);
    Free(&held);
    ReleaseStream();
}

TEST_F(StreamTest, NotificationAllocations) {
    Connect();
    NewStereoStream();
    struct Case {
        ULONG count, request;
        NTSTATUS status;
        ULONG actual, framesPerPacket;
    };
    const Case cases[] = {
        {2, 7, STATUS_INVALID_PARAMETER, 0, 0}, // not a multiple of the count
        {2, 4, STATUS_INVALID_PARAMETER, 0, 0}, // one frame: no frame per period
        {0, 8, STATUS_INVALID_PARAMETER, 0, 0},
        {3, 12, STATUS_INVALID_PARAMETER, 0, 0},
        {2, 6, STATUS_SUCCESS, 3840, 480},
        {1, 4, STATUS_SUCCESS, 3840, 960},
        // 2,001 frames would split a frame between the packets: a frame more makes them whole.
        {2, 8004, STATUS_SUCCESS, 8008, 1001},
        {2, 524288, STATUS_SUCCESS, 524288, 65536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.request);
        HeldBuffer held;
        EXPECT_EQ(AllocateNotified(c.count, c.request, &held), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(block_->StreamModeFlags & transport::NotificationBuffer, 0u);
            continue;
        }
        EXPECT_EQ(held.size, c.actual);
        EXPECT_EQ(Stream()->notificationCount, c.count);
        EXPECT_EQ(Stream()->framesPerNotification, c.framesPerPacket);
        EXPECT_EQ(Stream()->bytesPerNotification, c.framesPerPacket * 4ull);
        EXPECT_NE(block_->StreamModeFlags & transport::NotificationBuffer, 0u);
        Free(&held);
    }
    ReleaseStream();
}

TEST_F(StreamTest, StateSteps) {
    Connect();
    NewStereoStream();
    EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream_->SetState(static_cast<KSSTATE>(4)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handshakes_, 0);

    EXPECT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(handshakes_, 1) << "acquiring twice asks the client once";
    EXPECT_EQ(seenStates_.back(), 1u);
    EXPECT_EQ(block_->StreamState, 1u);

    // The client refuses a step up: the state stays and the client's status comes back.
    answer_ = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block_->StreamState, 1u);
    EXPECT_EQ(Stream()->state, 1u);
    // A refused step down goes ahead.
    EXPECT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(block_->StreamState, 0u);
    answer_ = STATUS_SUCCESS;

    Run();
    EXPECT_EQ(block_->StreamState, 3u);
    std::vector<ULONG> expected = {1, 2, 0, 1, 2, 3};
    EXPECT_EQ(seenStates_, expected) << "each step is announced before it is taken";
    ReleaseStream();
}

TEST_F(StreamTest, StepsDownWithoutClientResetPositions) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(Allocate(1000, &held), STATUS_SUCCESS);
    Run();
    TickAt(700);
    EXPECT_EQ(block_->DriverPosition, 700u);
    block_->PositionRegister = 2800;
    Disconnect();

    EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_SUCCESS) << "no change asked";
    EXPECT_EQ(stream_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(stream_->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(block_->StreamState, 2u);
    EXPECT_EQ(stream_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(block_->ClientPosition, 700u) << "counters reset only at stop";
    EXPECT_EQ(stream_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(block_->ClientPosition, 0u);
    EXPECT_EQ(block_->PositionRegister, 0u);
    EXPECT_EQ(block_->DriverPosition, 0u);
    EXPECT_EQ(block_->StreamState, 0u);

    KSAUDIO_POSITION position;
    EXPECT_EQ(stream_->GetPosition(&position), STATUS_DEVICE_NOT_READY);
    Free(&held); // without a client too
    EXPECT_EQ(block_->BufferFrames, 0u);
    ReleaseStream();
    EXPECT_EQ(channel_->liveStream, nullptr);
}

TEST_F(StreamTest, TicksFollowTheClientAndNotifyPerPeriod) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(Allocate(1000, &held), STATUS_SUCCESS);
    NotifyEvent first, second;
    ASSERT_EQ(Notification()->RegisterNotificationEvent(&first.event), STATUS_SUCCESS);
    ASSERT_EQ(Notification()->RegisterNotificationEvent(&second.event), STATUS_SUCCESS);
    EXPECT_EQ(Notification()->RegisterNotificationEvent(&first.event), STATUS_ALREADY_REGISTERED);

    TickAt(470); // not running: nothing moves
    EXPECT_EQ(block_->DriverPosition, 0u);
    EXPECT_FALSE(first.Signalled());
    Run();

    // Every period the client completed counts, however many passed between two ticks; the
    // engine is told once per tick.
    struct Step {
        ULONG client, completed, position;
    };
    const Step steps[] = {
        {470, 0, 470}, {485, 1, 485}, {950, 0, 950}, {1925, 3, 5}, {1925, 0, 5},
    };
    ULONG packets = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.client);
        TickAt(s.client);
        EXPECT_EQ(first.Signalled(), s.completed != 0);
        EXPECT_EQ(second.Signalled(), s.completed != 0);
        EXPECT_EQ(block_->DriverPosition, s.position);
        EXPECT_EQ(block_->AheadFrames, 960u);
        packets += s.completed;
        EXPECT_EQ(Stream()->completedPackets, packets);
    }
    KSAUDIO_POSITION position;
    block_->ClientPosition = 1930;
    ASSERT_EQ(stream_->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 10u * 4);
    EXPECT_EQ(position.WriteOffset, 5u * 4);

    EXPECT_EQ(Notification()->UnregisterNotificationEvent(&second.event), STATUS_SUCCESS);
    EXPECT_EQ(Notification()->UnregisterNotificationEvent(&second.event), STATUS_NOT_FOUND);
    TickAt(2400); // 480: into the second period
    EXPECT_TRUE(first.Signalled());
    EXPECT_FALSE(second.Signalled());

    Walk({KSSTATE_PAUSE});
    TickAt(100);
    EXPECT_FALSE(first.Signalled());
    EXPECT_EQ(block_->DriverPosition, 480u);
    Free(&held);
    ReleaseStream();
}

// The client's counter wraps at 2^32 in a buffer whose length does not divide 2^32, then the
// buffer is replaced without a stop: the stream keeps following the frames the client moved.
TEST_F(StreamTest, PositionsFollowTheClientAcrossTheCounterWrapAndANewBuffer) {
    Connect();
    SetLatency(1);
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(Allocate(961 * 4, &held), STATUS_SUCCESS);
    NotifyEvent event;
    ASSERT_EQ(Notification()->RegisterNotificationEvent(&event.event), STATUS_SUCCESS);
    Run();
    TickAt(0xFFFFFE00);
    EXPECT_EQ(block_->DriverPosition, 0xFFFFFE00u % 961);
    event.Signalled();
    const ULONG before = Stream()->completedPackets;
    TickAt(0x100); // 768 frames on, across the wrap: from frame 236 past both boundaries to 43
    EXPECT_EQ(block_->DriverPosition, 43u);
    EXPECT_EQ(Stream()->completedPackets, before + 2);
    EXPECT_TRUE(event.Signalled());
    KSAUDIO_POSITION position;
    block_->ClientPosition = 0x180;
    ASSERT_EQ(stream_->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, (43u + 0x80) * 4);

    // 2^32 + 256 frames lie at frame 152 of a 200-frame buffer: the new buffer starts there, and
    // a tick without a move completes no period.
    block_->ClientPosition = 0x100;
    Free(&held);
    ASSERT_EQ(Allocate(200 * 4, &held), STATUS_SUCCESS);
    EXPECT_EQ(block_->DriverPosition, 152u);
    TickAt(0x100);
    EXPECT_FALSE(event.Signalled());
    EXPECT_EQ(Stream()->completedPackets, before + 2);
    TickAt(0x100 + 100);
    EXPECT_EQ(block_->DriverPosition, 52u);
    EXPECT_TRUE(event.Signalled());
    Free(&held);
    ReleaseStream();
}

TEST_F(StreamTest, RunningWithoutBufferNeverFaults) {
    Connect();
    NewStereoStream();
    NotifyEvent event;
    ASSERT_EQ(Notification()->RegisterNotificationEvent(&event.event), STATUS_SUCCESS);
    Run();
    TickAt(12345);
    EXPECT_EQ(block_->DriverPosition, 0u);
    EXPECT_EQ(block_->AheadFrames, 0u);
    EXPECT_FALSE(event.Signalled());
    KSAUDIO_POSITION position;
    ASSERT_EQ(stream_->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position.PlayOffset, 0u);
    // Packet calls on a freed notification buffer: refused, no fault.
    HeldBuffer held;
    Walk({KSSTATE_PAUSE});
    ASSERT_EQ(AllocateNotified(2, 8, &held), STATUS_SUCCESS);
    Free(&held);
    ULONG packet = 0;
    DWORD flags = 0;
    ULONG64 counter = 0;
    BOOL more = TRUE;
    EXPECT_EQ(Stream()->GetReadPacket(&packet, &flags, &counter, &more), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Stream()->SetWritePacket(1, 0, 0), STATUS_DEVICE_NOT_READY);
    ReleaseStream(); // destroyed from pause with the event still registered
}

TEST_F(StreamTest, PositionRegister) {
    Connect();
    SetDeviceFormat(44100, 24, 6, 3);
    ASSERT_EQ(NewStream(), STATUS_SUCCESS);
    KSRTAUDIO_HWREGISTER reg;
    std::memset(&reg, 0xCC, sizeof(reg));
    ASSERT_EQ(stream_->GetPositionRegister(&reg), STATUS_SUCCESS);
    EXPECT_EQ(reg.Register, &channel_->controlBlock->PositionRegister);
    EXPECT_EQ(reg.Width, 32u);
    EXPECT_EQ(reg.Numerator, 0u);
    EXPECT_EQ(reg.Denominator, 0u);
    EXPECT_EQ(reg.Accuracy, 792u);
    EXPECT_EQ(block_->StreamModeFlags, transport::PositionRegisterUsed);
    EXPECT_EQ(stream_->GetClockRegister(&reg), STATUS_NOT_IMPLEMENTED);
    ReleaseStream();
}

TEST_F(StreamTest, SetFormat) {
    Connect();
    NewStereoStream();
    std::vector<unsigned char> device = DeviceBlock();
    std::vector<unsigned char> otherRate = FormatBlock(44100, 16, 2, 2);
    Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    std::vector<unsigned char> before(block_->StreamFormat, block_->StreamFormat + 40);
    std::memset(block_->StreamFormat, 0xEE, 40);
    EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(device.data())), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<unsigned char>(block_->StreamFormat, block_->StreamFormat + 40), before);

    EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(otherRate.data())),
              STATUS_NO_MATCH);
    EXPECT_EQ(std::vector<unsigned char>(block_->StreamFormat, block_->StreamFormat + 40), before);
    EXPECT_EQ(Stream()->format.Format.nSamplesPerSec, 48000u);

    Walk({KSSTATE_RUN});
    EXPECT_EQ(stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(device.data())),
              STATUS_INVALID_DEVICE_REQUEST);
    ReleaseStream();
}

TEST_F(StreamTest, WritePackets) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(AllocateNotified(2, 8004, &held), STATUS_SUCCESS);
    const ULONG packetBytes = 4004; // 1,001 frames
    ASSERT_EQ(Stream()->bytesPerNotification, packetBytes);
    Run();
    IMiniportWaveRTOutputStream* output = Stream();

    ULONG count = 99;
    ASSERT_EQ(output->GetPacketCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(block_->StreamModeFlags & transport::PacketMode, 0u);

    struct Write {
        ULONG packet, flags, length;
        NTSTATUS status;
        ULONG streamErrors;
    };
    const Write writes[] = {
        {0, 0, 0, STATUS_DATA_LATE_ERROR, 1},
        {2, 0, 0, STATUS_DATA_OVERRUN, 2},
        {1, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, packetBytes + 1, STATUS_INVALID_PARAMETER, 2},
        {1, 0x10000, 0, STATUS_INVALID_PARAMETER, 2}, // a flag nobody defined
        {1, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM | 0x4, 0, STATUS_INVALID_PARAMETER, 2},
        {1, 0, 0, STATUS_SUCCESS, 2},
    };
    for (const Write& w : writes) {
        EXPECT_EQ(output->SetWritePacket(w.packet, w.flags, w.length), w.status) << w.packet;
        EXPECT_EQ(block_->StreamPacketErrors, w.streamErrors);
        EXPECT_EQ(block_->ChannelPacketErrors, w.streamErrors);
        EXPECT_EQ(Stream()->endOfStream, 0);
    }
    EXPECT_EQ(block_->DriverPosition, 0u) << "packet 1 ends at the buffer's end";

    // The client completes a period: packet 2 (at offset 0) is next, here the last one. The
    // presentation position moves with the packet count, stamped when the period completed.
    KSAUDIO_PRESENTATION_POSITION presentation;
    ASSERT_EQ(output->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(presentation.u64PositionInBlocks, 0u);
    const ULONGLONG startStamp = presentation.u64QPCPosition;
    TickAt(1001);
    ASSERT_EQ(output->GetPacketCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(output->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(presentation.u64PositionInBlocks, 1001u);
    EXPECT_GT(presentation.u64QPCPosition, startStamp);
    const ULONGLONG tickStamp = presentation.u64QPCPosition;
    TickAt(1500); // within the period: neither moves
    ASSERT_EQ(output->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(presentation.u64PositionInBlocks, 1001u);
    EXPECT_EQ(presentation.u64QPCPosition, tickStamp);

    std::memset(DataBuffer(), 0x55, 2 * packetBytes);
    EXPECT_EQ(output->SetWritePacket(2, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, 1000),
              STATUS_SUCCESS);
    const unsigned char* data = DataBuffer();
    std::vector<unsigned char> kept(data, data + 1000), filled(data + 1000, data + packetBytes),
        other(data + packetBytes, data + 2 * packetBytes);
    EXPECT_EQ(kept, std::vector<unsigned char>(1000, 0x55));
    EXPECT_EQ(filled, std::vector<unsigned char>(packetBytes - 1000, 0));
    EXPECT_EQ(other, std::vector<unsigned char>(packetBytes, 0x55));
    EXPECT_EQ(block_->DriverPosition, 1001u);
    EXPECT_EQ(output->SetWritePacket(3, 0, 0), STATUS_INVALID_DEVICE_STATE);

    // Stop resets the stream's counters but not the channel's.
    Walk({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    EXPECT_EQ(block_->StreamPacketErrors, 0u);
    EXPECT_EQ(block_->ChannelPacketErrors, 2u);
    EXPECT_EQ(output->SetWritePacket(1, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(output->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(presentation.u64PositionInBlocks, 0u);
    EXPECT_NE(presentation.u64QPCPosition, 0u);
    Free(&held);
    ReleaseStream();
}

TEST_F(StreamTest, ReadPackets) {
    Connect(true);
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(AllocateNotified(2, 3840, &held), STATUS_SUCCESS);
    Run();
    IMiniportWaveRTInputStream* input = Stream();
    ULONG packet = 99;
    DWORD flags = 99;
    ULONG64 counter = 0;
    BOOL more = TRUE;
    EXPECT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_DEVICE_NOT_READY);

    // Read as the periods complete: each packet carries the time its period began.
    TickAt(500);
    ULONG64 previous = 0;
    ASSERT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_SUCCESS);
    EXPECT_EQ(packet, 0u);
    EXPECT_NE(counter, 0u);
    previous = counter;
    EXPECT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(block_->DriverPosition, 480u) << "the start of packet 1";
    TickAt(1000);
    ASSERT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_SUCCESS);
    EXPECT_EQ(packet, 1u);
    EXPECT_GE(counter, previous);

    // Two periods completed in one tick: handed out in order, the first announcing the second.
    TickAt(1960);
    for (ULONG expected = 2; expected < 4; ++expected) {
        ASSERT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_SUCCESS);
        EXPECT_EQ(packet, expected);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(more, expected == 2 ? TRUE : FALSE);
    }
    EXPECT_EQ(input->GetReadPacket(&packet, &flags, &counter, &more), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(block_->DriverPosition, 0u) << "the start of packet 4";
    Free(&held);
    ReleaseStream();
}

TEST_F(StreamTest, OnePacketBufferStampsEachPacket) {
    Connect(true);
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(AllocateNotified(1, 3840, &held), STATUS_SUCCESS);
    Run();
    const ULONG64 runStamp = Stream()->packetTimes[0];
    ASSERT_NE(runStamp, 0u);
    ULONG packet = 0;
    DWORD flags = 0;
    ULONG64 counter = 0;
    BOOL more = FALSE;
    TickAt(900);
    TickAt(1000); // the one period ended: packet 1 begins
    ASSERT_EQ(Stream()->GetReadPacket(&packet, &flags, &counter, &more), STATUS_SUCCESS);
    EXPECT_EQ(packet, 0u);
    EXPECT_EQ(counter, runStamp);
    TickAt(1950); // round the end again: packet 2 begins, its stamp in slot 0
    ASSERT_EQ(Stream()->GetReadPacket(&packet, &flags, &counter, &more), STATUS_SUCCESS);
    EXPECT_EQ(packet, 1u);
    EXPECT_EQ(counter, Stream()->packetTimes[1]) << "packet 1's own start, not the run's";
    Free(&held);
    ReleaseStream();
}

TEST_F(StreamTest, PacketCallsNeedANotificationBuffer) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(Allocate(1000, &held), STATUS_SUCCESS);
    ULONG packet = 0, count = 0;
    DWORD flags = 0;
    ULONG64 counter = 0;
    BOOL more = FALSE;
    KSAUDIO_PRESENTATION_POSITION presentation;
    ASSERT_EQ(Stream()->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(block_->StreamModeFlags & transport::PacketMode, 0u);
    EXPECT_EQ(Stream()->GetReadPacket(&packet, &flags, &counter, &more), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(block_->StreamModeFlags & transport::PacketMode, transport::PacketMode);
    EXPECT_EQ(Stream()->SetWritePacket(1, 0, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Stream()->GetPacketCount(&count), STATUS_NOT_SUPPORTED);
    // In packet mode the tick no longer moves the stream position.
    Run();
    TickAt(300);
    EXPECT_EQ(block_->DriverPosition, 0u);
    EXPECT_EQ(block_->AheadFrames, 660u);
    Free(&held);
    ReleaseStream();
}

// The port may free the buffer while a packet call, holding PositionLock, fills a packet with
// silence: the pages stay mapped until it lets go, and a later call finds no buffer. First the
// holder made to wait, then real end-of-stream packets racing real releases.
TEST_F(StreamTest, PacketCallsRaceTheBufferRelease) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(AllocateNotified(2, 3840, &held), STATUS_SUCCESS);
    Stream()->PositionLock.Lock();
    volatile unsigned char* bytes = static_cast<unsigned char*>(Stream()->bufferAddress);
    std::thread release([&] { Free(&held); });
    // Long enough for the release to get as far as it can without the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (ULONG i = 0; i < 3840; ++i) {
        bytes[i] = 0;
    }
    Stream()->PositionLock.Unlock();
    release.join();
    EXPECT_EQ(Stream()->SetWritePacket(1, 0, 0), STATUS_DEVICE_NOT_READY);

    for (int round = 0; round < 20; ++round) {
        Walk({KSSTATE_ACQUIRE, KSSTATE_STOP}); // takes the end of stream back
        ASSERT_EQ(AllocateNotified(2, transport::DataBufferSize, &held), STATUS_SUCCESS);
        std::atomic<int> ready{0};
        NTSTATUS written = STATUS_UNSUCCESSFUL;
        std::thread writer([&] {
            for (++ready; ready.load() < 2;) {
            }
            // Length 0: the whole 256 KiB packet is filled with silence.
            written = Stream()->SetWritePacket(1, KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, 0);
        });
        for (++ready; ready.load() < 2;) {
        }
        Free(&held);
        writer.join();
        EXPECT_TRUE(written == STATUS_SUCCESS || written == STATUS_DEVICE_NOT_READY) << written;
    }
    ReleaseStream();
}

TEST_F(StreamTest, DestroyedWhileRunningWalksDownAndForgetsItsEvents) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(Allocate(1000, &held), STATUS_SUCCESS);
    NotifyEvent events[3];
    for (NotifyEvent& e : events) {
        ASSERT_EQ(Notification()->RegisterNotificationEvent(&e.event), STATUS_SUCCESS);
    }
    Run();
    seenStates_.clear();
    ReleaseStream(); // the port never freed its buffer nor unregistered its events
    std::vector<ULONG> expected = {2, 1, 0, 0};
    EXPECT_EQ(seenStates_, expected) << "three steps down, then the stream's end";
    EXPECT_EQ(block_->StreamOpen, 0);
    EXPECT_EQ(block_->StreamState, 0u);
    TickAt(500); // the worker finds no stream
    for (NotifyEvent& e : events) {
        EXPECT_FALSE(e.Signalled());
    }
    // A new stream can be made; the verifier checks at the end that nothing leaked.
    ASSERT_EQ(NewStream(), STATUS_SUCCESS);
    ReleaseStream();
}

} // namespace
