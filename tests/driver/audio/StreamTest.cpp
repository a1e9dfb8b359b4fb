// The WaveRT stream driven as the port drives it, against a loaded driver and a connected
// client whose thread answers every handshake: what only a direct caller can reach (ticks at
// chosen positions, a buffer replaced while running, a release racing a packet call). The pin
// tests hold the stream's refusals, reached as the audio engine reaches them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "DriverTest.h"
#include "HandshakeResponder.h"
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
        responder_.reset();
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
        TransportControlBlock* clientBlock = ClientControlBlock(*client_, file_);
        ASSERT_NE(clientBlock, nullptr);
        // The tests read the driver's own mapping, which outlives the client's.
        block_ = channel_->controlBlock;
        HANDLE event = RegisterClientEvent(*client_, file_);
        responder_ = std::make_unique<Responder>(*client_, event, clientBlock, file_);
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

    // The device's current format as a data-format block.
    std::vector<unsigned char> DeviceBlock() {
        const DeviceFormat& f = channel_->currentFormat;
        WAVEFORMATEXTENSIBLE record{};
        EXPECT_TRUE(BuildWaveFormat(&record, f.SampleRate, f.BitsPerSample, f.Channels,
                                    f.ContainerBytes, AnyChannelMask, FALSE, FALSE));
        std::vector<unsigned char> block(DataFormatBlockBytes);
        block.resize(BuildKsDataFormat(&record, block.data()));
        return block;
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
    TransportControlBlock* block_ = nullptr;
    std::unique_ptr<Responder> responder_;
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

// The refusals of written packets are the pin tests'; here, what a completed period does to
// the packet count and the presentation position, and an end of stream filling its packet.
TEST_F(StreamTest, APeriodCompletesItsPacketAndTheEndOfStreamFillsWithSilence) {
    Connect();
    NewStereoStream();
    HeldBuffer held;
    ASSERT_EQ(AllocateNotified(2, 8004, &held), STATUS_SUCCESS);
    const ULONG packetBytes = 4004; // 1,001 frames
    Run();
    IMiniportWaveRTOutputStream* output = Stream();
    ULONG count = 99;
    ASSERT_EQ(output->SetWritePacket(1, 0, 0), STATUS_SUCCESS);
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

    // Stop starts the packets and the presentation position again.
    Walk({KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    EXPECT_EQ(output->SetWritePacket(1, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(output->GetOutputStreamPresentationPosition(&presentation), STATUS_SUCCESS);
    EXPECT_EQ(presentation.u64PositionInBlocks, 0u);
    EXPECT_NE(presentation.u64QPCPosition, 0u);
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

} // namespace
