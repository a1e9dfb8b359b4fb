// WaveRT pins of the real driver reached as the audio engine reaches them: created under a
// filter handle with the connection in the name, driven through their property requests from
// the engine's process, while a client process answers the driver's handshakes and moves the
// position.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <ksmedia.h>

#include "DriverTest.h"
#include "KsTestRequests.h"
#include "kernel/Memory.h"
#include "kernel/UserEvents.h"
#include "portcls/WaveRTPin.h"
#include "transport/TransportEndpoint.h"

namespace {

// A status no call on the way makes of its own, so a test can tell it was passed through.
const NTSTATUS RaisedForTest = static_cast<NTSTATUS>(0xC0000049);

// A bound on waits that only a fault would reach.
const DWORD NeverMilliseconds = 20000;

KSPIN_CONNECT Connect(ULONG pin) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pin;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    return connect;
}

// A PCM format block: WAVEFORMATEX, or WAVEFORMATEXTENSIBLE when extensible.
std::vector<unsigned char> PcmFormat(ULONG rate, USHORT bits, USHORT channels, bool extensible) {
    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    wave.Format.nChannels = channels;
    wave.Format.nSamplesPerSec = rate;
    wave.Format.wBitsPerSample = bits;
    wave.Format.nBlockAlign = USHORT(channels * bits / 8);
    wave.Format.nAvgBytesPerSec = rate * wave.Format.nBlockAlign;
    const ULONG waveBytes = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    if (extensible) {
        wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        wave.Samples.wValidBitsPerSample = bits;
        wave.dwChannelMask = channels == 2 ? 0x3 : 0x4;
        wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    KSDATAFORMAT header{};
    header.FormatSize = sizeof(KSDATAFORMAT) + waveBytes;
    header.SampleSize = wave.Format.nBlockAlign;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::vector<unsigned char> block = Bytes(header);
    std::vector<unsigned char> tail = Bytes(&wave, waveBytes);
    block.insert(block.end(), tail.begin(), tail.end());
    return block;
}

// The pin-create name: KSNAME_Pin's text, a backslash, then the binary request in characters.
std::u16string PinName(const std::vector<unsigned char>& request) {
    std::u16string name = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
    std::vector<unsigned char> padded = request;
    if (padded.size() % 2 != 0) {
        padded.push_back(0);
    }
    std::u16string binary(padded.size() / 2, u'\0');
    std::memcpy(&binary[0], padded.data(), padded.size());
    return name + binary;
}

std::vector<unsigned char> CreateRequest(const KSPIN_CONNECT& connect,
                                         const std::vector<unsigned char>& format) {
    std::vector<unsigned char> request(sizeof(connect) + format.size());
    std::memcpy(request.data(), &connect, sizeof(connect));
    if (!format.empty()) {
        std::memcpy(request.data() + sizeof(connect), format.data(), format.size());
    }
    return request;
}

// The client's side of one direction: its file, connected with an event, and a thread that
// answers every handshake with `answer` and notes the stream state it was asked about.
class Responder {
public:
    Responder(host::Process& process, HANDLE event, transport::TransportControlBlock* block,
              HANDLE file)
        : process(process), event(event), block(block), file(file) {
        Start();
    }
    ~Responder() { Stop(); }
    void Start() {
        stop = false;
        thread = std::thread([this] { Loop(); });
    }
    void Stop() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::vector<ULONG> States() {
        std::lock_guard<std::mutex> hold(lock);
        return states;
    }

    std::atomic<NTSTATUS> answer{STATUS_SUCCESS};
    // Runs on the client's thread before each answer (set while no handshake is under way).
    std::function<void()> beforeAnswer;

private:
    void Loop() {
        host::ProcessScope scope(&process);
        while (!stop) {
            if (host::user::WaitForSingleObject(event, 10) != WAIT_OBJECT_0) {
                continue;
            }
            const auto flags = __atomic_load_n(&block->HandshakeFlags, __ATOMIC_ACQUIRE);
            if ((flags & transport::AwaitingClient) == 0) {
                continue;
            }
            {
                std::lock_guard<std::mutex> hold(lock);
                states.push_back(__atomic_load_n(&block->StreamState, __ATOMIC_ACQUIRE));
            }
            if (beforeAnswer) {
                beforeAnswer();
            }
            transport::ReportStatusInput input{transport::ProtocolVersion, answer.load()};
            host::user::DeviceIoControl(file, transport::IoctlReportStatus, &input, sizeof(input),
                                        nullptr, 0, nullptr);
        }
    }

    host::Process& process;
    HANDLE event;
    transport::TransportControlBlock* block;
    HANDLE file;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<ULONG> states;
    std::thread thread;
};

class PinIntegrationTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadAndStart();
        engine = &NewProcess(false, "engine");
        client = &NewProcess(false, "client");
    }
    void TearDown() override {
        responder.reset();
        DriverTest::TearDown();
    }

    HANDLE OpenFilter(const std::u16string& name) {
        const std::u16string path = FilterPath(name);
        EXPECT_FALSE(path.empty());
        host::ProcessScope scope(engine);
        return host::user::CreateFile(path);
    }

    HANDLE EngineEvent() {
        host::ProcessScope scope(engine);
        return host::user::CreateEvent(false, false);
    }

    HANDLE CreatePin(HANDLE filter, const std::vector<unsigned char>& request, NTSTATUS* status) {
        host::ProcessScope scope(engine);
        HANDLE pin = host::user::CreateFileRelative(filter, PinName(request));
        *status = pin == INVALID_HANDLE_VALUE ? host::user::LastStatus() : STATUS_SUCCESS;
        return pin;
    }

    // Connects the client file behind a WaveRT filter (the speaker's is the Capture file) in
    // the device format 48 kHz, 16 bits, stereo, and starts answering its handshakes.
    void ConnectClient(bool speaker) {
        clientFile = OpenTransport(*client, !speaker);
        ASSERT_NE(clientFile, INVALID_HANDLE_VALUE);
        HANDLE event = RegisterClientEvent(*client, clientFile);
        transport::SetFormatInput format{transport::ProtocolVersion, 48000, 16, 2, 2, 0};
        ASSERT_EQ(Control(*client, clientFile, transport::IoctlSetFormat, &format, sizeof(format),
                          nullptr, 0),
                  STATUS_SUCCESS);
        clientBlock = ClientControlBlock(*client, clientFile);
        ASSERT_NE(clientBlock, nullptr);
        responder = std::make_unique<Responder>(*client, event, clientBlock, clientFile);
    }

    // A WaveRT filter's streaming pin in the device format, created from the engine.
    HANDLE OpenSpeakerPin() { return OpenStreamingPin(u"wave_r"); }
    HANDLE OpenStreamingPin(const std::u16string& name) {
        filter = OpenFilter(name);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        HANDLE pin =
            CreatePin(filter, CreateRequest(Connect(0), PcmFormat(48000, 16, 2, false)), &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return pin;
    }

    Reply Ask(HANDLE pin, const std::vector<unsigned char>& input, ULONG valueSize,
              const std::vector<unsigned char>& value = {}) {
        std::vector<unsigned char> buffer(valueSize, 0xEE);
        std::copy(value.begin(), value.begin() + std::min<size_t>(value.size(), valueSize),
                  buffer.begin());
        Reply reply{STATUS_UNSUCCESSFUL, 0, {}};
        host::ProcessScope scope(engine);
        host::user::DeviceIoControl(pin, IOCTL_KS_PROPERTY, input.data(), ULONG(input.size()),
                                    buffer.empty() ? nullptr : buffer.data(), valueSize,
                                    &reply.bytes, &reply.status);
        reply.value = buffer;
        return reply;
    }

    NTSTATUS SetState(HANDLE pin, KSSTATE state) {
        return Ask(pin,
                   Bytes(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                  KSPROPERTY_TYPE_SET)),
                   sizeof(state), Bytes(state))
            .status;
    }
    KSSTATE GetState(HANDLE pin) {
        Reply reply = Ask(pin,
                          Bytes(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                         KSPROPERTY_TYPE_GET)),
                          sizeof(KSSTATE));
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        KSSTATE state;
        std::memcpy(&state, reply.value.data(), sizeof(state));
        return state;
    }

    template <class T>
    static T As(const Reply& reply) {
        T value;
        std::memcpy(&value, reply.value.data(), sizeof(value));
        return value;
    }

    Reply RtAudio(HANDLE pin, ULONG id, ULONG valueSize, ULONG flags = KSPROPERTY_TYPE_GET,
                  const std::vector<unsigned char>& value = {}) {
        return Ask(pin, Bytes(Property(KSPROPSETID_RtAudio, id, flags)), valueSize, value);
    }

    // A register request (KSRTAUDIO_HWREGISTER_PROPERTY) of the given id.
    Reply Register(HANDLE pin, ULONG id) {
        return Ask(pin,
                   Bytes(KSRTAUDIO_HWREGISTER_PROPERTY{
                       Property(KSPROPSETID_RtAudio, id, KSPROPERTY_TYPE_GET), nullptr}),
                   sizeof(KSRTAUDIO_HWREGISTER));
    }

    Reply NotificationBuffer(HANDLE pin, ULONG bytes, ULONG count) {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
        request.Property = Property(
            KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, KSPROPERTY_TYPE_GET);
        request.RequestedBufferSize = bytes;
        request.NotificationCount = count;
        return Ask(pin, Bytes(request), sizeof(KSRTAUDIO_BUFFER));
    }

    NTSTATUS Notification(HANDLE pin, HANDLE event, bool add) {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
        request.Property = Property(KSPROPSETID_RtAudio,
                                    add ? KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT
                                        : KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT,
                                    KSPROPERTY_TYPE_GET);
        request.NotificationEvent = event;
        return Ask(pin, Bytes(request), 0).status;
    }

    // The client moves its position and asks for a tick; the worker has run it once the tick
    // event is consumed, which the next handshake-free request cannot tell, so wait for the
    // driver's position to follow.
    void ClientAdvance(ULONG frames) {
        __atomic_store_n(&clientBlock->ClientPosition, frames, __ATOMIC_RELEASE);
        transport::ReportStatusInput tick{transport::ProtocolVersion,
                                          transport::StatusTransportTick};
        ASSERT_EQ(Control(*client, clientFile, transport::IoctlReportStatus, &tick, sizeof(tick),
                          nullptr, 0),
                  STATUS_SUCCESS);
    }

    host::Process* engine = nullptr;
    host::Process* client = nullptr;
    HANDLE filter = INVALID_HANDLE_VALUE;
    HANDLE clientFile = INVALID_HANDLE_VALUE;
    transport::TransportControlBlock* clientBlock = nullptr;
    std::unique_ptr<Responder> responder;
};

TEST_F(PinIntegrationTest, CreateRefusesWhatKernelStreamingRefuses) {
    ConnectClient(true);
    HANDLE speaker = OpenFilter(u"wave_r");
    HANDLE topology = OpenFilter(u"topo_r");
    const std::vector<unsigned char> pcm = PcmFormat(48000, 16, 2, false);
    std::vector<unsigned char> shortFormat = pcm;
    shortFormat.resize(sizeof(KSDATAFORMAT) - 2);
    std::vector<unsigned char> overlong = pcm;
    overlong[0] = static_cast<unsigned char>(pcm.size() + 8); // FormatSize beyond the name
    std::vector<unsigned char> video = pcm;
    const GUID notAudio = {0x73646976, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
    std::memcpy(video.data() + offsetof(KSDATAFORMAT, MajorFormat), &notAudio, sizeof(GUID));
    KSPIN_CONNECT otherInterface = Connect(0);
    otherInterface.Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    KSPIN_CONNECT connected = Connect(0);
    connected.PinToHandle = reinterpret_cast<HANDLE>(0x44);

    struct Case {
        const char* what;
        HANDLE filter;
        std::u16string name;
        NTSTATUS expected;
    };
    const std::u16string goodName = PinName(CreateRequest(Connect(0), pcm));
    std::u16string otherGuid = goodName;
    otherGuid[1] = u'2';
    const Case cases[] = {
        {"another object name", speaker, otherGuid, STATUS_OBJECT_NAME_NOT_FOUND},
        {"the name alone", speaker, goodName.substr(0, 39), STATUS_INVALID_BUFFER_SIZE},
        {"a connection without format", speaker, PinName(CreateRequest(Connect(0), {})),
         STATUS_INVALID_BUFFER_SIZE},
        {"a format shorter than its header", speaker,
         PinName(CreateRequest(Connect(0), shortFormat)), STATUS_INVALID_BUFFER_SIZE},
        {"a format size beyond the name", speaker, PinName(CreateRequest(Connect(0), overlong)),
         STATUS_INVALID_BUFFER_SIZE},
        {"a pin the filter lacks", speaker, PinName(CreateRequest(Connect(2), pcm)),
         STATUS_INVALID_PARAMETER},
        {"the bridge pin", speaker, PinName(CreateRequest(Connect(1), pcm)),
         STATUS_INVALID_DEVICE_REQUEST},
        {"a pin of a topology filter", topology, goodName, STATUS_INVALID_DEVICE_REQUEST},
        {"a connection to another pin", speaker, PinName(CreateRequest(connected, pcm)),
         STATUS_INVALID_PARAMETER},
        {"an interface the pin lacks", speaker, PinName(CreateRequest(otherInterface, pcm)),
         STATUS_NO_MATCH},
        {"a format no range matches", speaker, PinName(CreateRequest(Connect(0), video)),
         STATUS_NO_MATCH},
        // The ranges match; the miniport refuses a rate the device does not run at.
        {"a format the miniport refuses", speaker,
         PinName(CreateRequest(Connect(0), PcmFormat(44100, 16, 2, false))), STATUS_NO_MATCH},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        host::ProcessScope scope(engine);
        HANDLE pin = host::user::CreateFileRelative(item.filter, item.name);
        EXPECT_EQ(pin, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host::user::LastStatus(), item.expected);
    }

    // The one instance the descriptor allows, counted while it is open and given back at close;
    // the extensible format is as good as the plain one.
    const std::vector<unsigned char> cinstances = [] {
        KSP_PIN request{};
        request.Property =
            Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET);
        request.PinId = 0;
        return Bytes(request);
    }();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE pin =
        CreatePin(speaker, CreateRequest(Connect(0), PcmFormat(48000, 16, 2, true)), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(As<KSPIN_CINSTANCES>(Ask(speaker, cinstances, sizeof(KSPIN_CINSTANCES))).CurrentCount,
              1u);
    EXPECT_EQ(CreatePin(speaker, CreateRequest(Connect(0), pcm), &status), INVALID_HANDLE_VALUE);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    Close(*engine, pin);
    EXPECT_EQ(As<KSPIN_CINSTANCES>(Ask(speaker, cinstances, sizeof(KSPIN_CINSTANCES))).CurrentCount,
              0u);
    pin = CreatePin(speaker, CreateRequest(Connect(0), pcm), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    Close(*engine, pin);
    Close(*engine, speaker);
    Close(*engine, topology);
}

TEST_F(PinIntegrationTest, WithoutAClientTheMiniportsRefusalIsTheCreatesStatus) {
    HANDLE speaker = OpenFilter(u"wave_r");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(
        CreatePin(speaker, CreateRequest(Connect(0), PcmFormat(48000, 16, 2, false)), &status),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    // The refused create took no instance.
    ConnectClient(true);
    HANDLE pin =
        CreatePin(speaker, CreateRequest(Connect(0), PcmFormat(48000, 16, 2, false)), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    Close(*engine, pin);
    Close(*engine, speaker);
}

TEST_F(PinIntegrationTest, RequestsOfTheWrongShapeAreRefusedBeforeTheStreamSeesThem) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    struct Case {
        const char* what;
        std::vector<unsigned char> input;
        ULONG valueSize;
        NTSTATUS expected;
        ULONG bytes;
    };
    const auto get = KSPROPERTY_TYPE_GET;
    const auto set = KSPROPERTY_TYPE_SET;
    std::vector<unsigned char> shortBuffer =
        Bytes(Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, get));
    const Case cases[] = {
        {"state: learn the size", Bytes(Property(KSPROPSETID_Connection, 0, get)), 0,
         STATUS_BUFFER_OVERFLOW, sizeof(KSSTATE)},
        {"state: short value", Bytes(Property(KSPROPSETID_Connection, 0, get)), 3,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"state: beyond run", Bytes(Property(KSPROPSETID_Connection, 0, set)), 4,
         STATUS_INVALID_PARAMETER, 0},
        {"format: set of a short block",
         Bytes(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, set)),
         sizeof(KSDATAFORMAT) - 1, STATUS_BUFFER_TOO_SMALL, 0},
        {"unknown connection property", Bytes(Property(KSPROPSETID_Connection, 3, get)), 4,
         STATUS_NOT_FOUND, 0},
        {"buffer: request without its size fields", shortBuffer, sizeof(KSRTAUDIO_BUFFER),
         STATUS_INVALID_BUFFER_SIZE, 0},
        {"buffer: set",
         Bytes(KSRTAUDIO_BUFFER_PROPERTY{
             Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, set), nullptr, 4096}),
         sizeof(KSRTAUDIO_BUFFER), STATUS_INVALID_DEVICE_REQUEST, 0},
        {"latency: short value",
         Bytes(Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, get)), 8,
         STATUS_BUFFER_TOO_SMALL, 0},
        {"write packet: get",
         Bytes(Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, get)), 12,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {"position: set", Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, set)), 16,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {"unknown RT-audio property", Bytes(Property(KSPROPSETID_RtAudio, 13, get)), 8,
         STATUS_NOT_FOUND, 0},
        {"unknown set", Bytes(Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, get)), 4,
         STATUS_NOT_FOUND, 0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        Reply reply = Ask(pin, item.input, item.valueSize, std::vector<unsigned char>(16, 0x7F));
        EXPECT_EQ(reply.status, item.expected);
        EXPECT_EQ(reply.bytes, item.bytes);
    }
    // None of them moved the stream or allocated anything.
    EXPECT_EQ(GetState(pin), KSSTATE_STOP);
    EXPECT_TRUE(responder->States().empty());
    EXPECT_EQ(clientBlock->BufferFrames, 0u);
    Close(*engine, pin);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, AStreamLivesThroughItsPropertiesFromCreateToClose) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();

    // The format set goes to the stream; the get returns what the pin holds.
    const std::vector<unsigned char> extensible = PcmFormat(48000, 16, 2, true);
    auto format = [](ULONG verb) {
        return Bytes(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, verb));
    };
    EXPECT_EQ(Ask(pin, format(KSPROPERTY_TYPE_SET), ULONG(extensible.size()), extensible).status,
              STATUS_SUCCESS);
    Reply kept = Ask(pin, format(KSPROPERTY_TYPE_GET), 128);
    ASSERT_EQ(kept.bytes, extensible.size());
    EXPECT_TRUE(std::equal(extensible.begin(), extensible.end(), kept.value.begin()));

    // The buffer with notifications, mapped into the engine: a write there is what the client
    // reads through its own view of the data buffer.
    EXPECT_EQ(As<BOOL>(RtAudio(pin, KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, sizeof(BOOL))),
              TRUE);
    Reply allocated = NotificationBuffer(pin, 4800 * 4, 2);
    ASSERT_EQ(allocated.status, STATUS_SUCCESS);
    const auto buffer = As<KSRTAUDIO_BUFFER>(allocated);
    EXPECT_EQ(buffer.CallMemoryBarrier, FALSE);
    ASSERT_GE(buffer.ActualBufferSize, 4800u * 4);
    std::optional<host::MappingInfo> view = host::FindMapping(buffer.BufferAddress);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->process, engine);
    auto* engineBytes = static_cast<unsigned char*>(buffer.BufferAddress);
    for (ULONG i = 0; i < buffer.ActualBufferSize; ++i) {
        engineBytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    const auto* clientBytes =
        reinterpret_cast<const unsigned char*>(std::uintptr_t(clientBlock->ClientDataAddress));
    ASSERT_NE(clientBytes, nullptr);
    EXPECT_EQ(std::memcmp(clientBytes, engineBytes, buffer.ActualBufferSize), 0);
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_INVALID_DEVICE_REQUEST);

    HANDLE event = EngineEvent();
    ASSERT_EQ(Notification(pin, event, true), STATUS_SUCCESS);

    // Up to run from stop: three steps, each handshaken with the client.
    const size_t handshakesBefore = responder->States().size();
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(GetState(pin), KSSTATE_RUN);
    std::vector<ULONG> asked = responder->States();
    asked.erase(asked.begin(), asked.begin() + handshakesBefore);
    EXPECT_EQ(asked, (std::vector<ULONG>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}));

    // The position register lives in the engine's process and reads what the client writes.
    Reply registerReply = Register(pin, KSPROPERTY_RTAUDIO_POSITIONREGISTER);
    ASSERT_EQ(registerReply.status, STATUS_SUCCESS);
    const auto hardware = As<KSRTAUDIO_HWREGISTER>(registerReply);
    EXPECT_EQ(hardware.Width, 32u);
    std::optional<host::MappingInfo> registerView = host::FindMapping(hardware.Register);
    ASSERT_TRUE(registerView.has_value());
    EXPECT_EQ(registerView->process, engine);
    __atomic_store_n(&clientBlock->PositionRegister, 0x1234u, __ATOMIC_RELEASE);
    EXPECT_EQ(*static_cast<volatile ULONG*>(hardware.Register), 0x1234u);
    EXPECT_EQ(RtAudio(pin, KSPROPERTY_RTAUDIO_CLOCKREGISTER, sizeof(KSRTAUDIO_HWREGISTER)).status,
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Register(pin, KSPROPERTY_RTAUDIO_CLOCKREGISTER).status, STATUS_NOT_IMPLEMENTED);

    // The client crosses the first period: the tick signals the engine's event, and the
    // position request reports the client's frame.
    const ULONG frames = buffer.ActualBufferSize / 4;
    ClientAdvance(frames / 2 + 10);
    {
        host::ProcessScope scope(engine);
        ASSERT_EQ(host::user::WaitForSingleObject(event, NeverMilliseconds), WAIT_OBJECT_0);
    }
    Reply position =
        Ask(pin, Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET)),
            sizeof(KSAUDIO_POSITION));
    ASSERT_EQ(position.status, STATUS_SUCCESS);
    EXPECT_EQ(As<KSAUDIO_POSITION>(position).PlayOffset, (frames / 2 + 10) * 4ull);
    EXPECT_EQ(As<KSAUDIO_POSITION>(position).WriteOffset, (frames / 2 + 10) * 4ull);

    // Packet calls: one packet completed; the render stream has no read packets.
    EXPECT_EQ(As<ULONG>(RtAudio(pin, KSPROPERTY_RTAUDIO_PACKETCOUNT, sizeof(ULONG))), 1u);
    for (auto [packet, status] :
         {std::pair<ULONG, NTSTATUS>{2, STATUS_SUCCESS}, {7, STATUS_DATA_OVERRUN}}) {
        const KSRTAUDIO_SETWRITEPACKET_INFO write{packet, 0, 0};
        EXPECT_EQ(RtAudio(pin, KSPROPERTY_RTAUDIO_SETWRITEPACKET, sizeof(write),
                          KSPROPERTY_TYPE_SET, Bytes(write))
                      .status,
                  status);
    }
    // The presentation position is stamped with the performance counter of the request.
    const auto askedAt = ULONGLONG(KeQueryPerformanceCounter(nullptr).QuadPart);
    Reply presentation = RtAudio(pin, KSPROPERTY_RTAUDIO_PRESENTATION_POSITION,
                                 sizeof(KSAUDIO_PRESENTATION_POSITION));
    ASSERT_EQ(presentation.status, STATUS_SUCCESS);
    const ULONGLONG stamp = As<KSAUDIO_PRESENTATION_POSITION>(presentation).u64QPCPosition;
    EXPECT_GE(stamp, askedAt);
    EXPECT_LE(stamp, ULONGLONG(KeQueryPerformanceCounter(nullptr).QuadPart));

    // Down to stop in three steps, then close: the engine's views go with the pin.
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    asked = responder->States();
    ASSERT_GE(asked.size(), 3u);
    EXPECT_EQ(std::vector<ULONG>(asked.end() - 3, asked.end()),
              (std::vector<ULONG>{KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_EQ(Notification(pin, event, false), STATUS_SUCCESS);
    EXPECT_EQ(Notification(pin, event, false), STATUS_NOT_FOUND);
    Close(*engine, pin);
    EXPECT_TRUE(host::LiveMappings(engine).empty());
    EXPECT_EQ(clientBlock->StreamOpen, 0u);
    Close(*engine, event);
    Close(*engine, filter);
}

// Were the library's lock held while a step waits for the client, these requests would wait
// out the handshake and the step would fail.
TEST_F(PinIntegrationTest, RequestsGetThroughWhileAStepWaitsForTheClient) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    std::vector<KSSTATE> seen;
    std::vector<NTSTATUS> filterAnswers;
    responder->Stop();
    responder->beforeAnswer = [&] {
        seen.push_back(GetState(pin));
        filterAnswers.push_back(
            Ask(filter,
                Bytes(Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET)),
                sizeof(ULONG))
                .status);
    };
    responder->Start();
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    responder->Stop();
    // The pin reports where it stands while the next step is under way.
    EXPECT_EQ(seen, (std::vector<KSSTATE>{KSSTATE_STOP, KSSTATE_ACQUIRE}));
    EXPECT_EQ(filterAnswers, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
    responder->beforeAnswer = nullptr;
    responder->Start();
    Close(*engine, pin);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, ABufferThatCannotBeMappedForTheEngineIsNotKept) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    host::FailUserMapping(host::MappingFailure::Raise, RaisedForTest);
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, RaisedForTest);
    EXPECT_EQ(clientBlock->BufferFrames, 0u);
    host::FailUserMapping(host::MappingFailure::ReturnNull);
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(clientBlock->BufferFrames, 0u);
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_SUCCESS);
    EXPECT_NE(clientBlock->BufferFrames, 0u);
    Close(*engine, pin);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, AThirtyTwoBitEngineIsRefusedTheRecordsWithPointers) {
    ConnectClient(true);
    engine = &NewProcess(true, "engine32");
    HANDLE pin = OpenSpeakerPin();
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(clientBlock->BufferFrames, 0u);
    // Records without pointers are the same for it.
    EXPECT_EQ(SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(GetState(pin), KSSTATE_ACQUIRE);
    Close(*engine, pin);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, AFailedStepEndsTheWalkWhereItGot) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    // The client refuses the second step up.
    const NTSTATUS refusal = static_cast<NTSTATUS>(0xC0000184);
    const size_t before = responder->States().size();
    ASSERT_EQ(SetState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    responder->answer = refusal;
    EXPECT_EQ(SetState(pin, KSSTATE_RUN), refusal);
    EXPECT_EQ(GetState(pin), KSSTATE_ACQUIRE);
    std::vector<ULONG> asked = responder->States();
    EXPECT_EQ(std::vector<ULONG>(asked.begin() + before, asked.end()),
              (std::vector<ULONG>{KSSTATE_ACQUIRE, KSSTATE_PAUSE}));
    responder->answer = STATUS_SUCCESS;
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    // Close walks a paused stream down before it lets it go.
    Close(*engine, pin);
    EXPECT_EQ(clientBlock->StreamOpen, 0u);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, AClientThatExitsMidStreamLeavesTheEngineAbleToStepDown) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    ASSERT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_SUCCESS);
    HANDLE event = EngineEvent();
    ASSERT_EQ(Notification(pin, event, true), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    responder->Stop();
    Exit(*client);
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(SetState(pin, KSSTATE_RUN), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(GetState(pin), KSSTATE_PAUSE);
    EXPECT_EQ(SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    Close(*engine, pin);
    EXPECT_TRUE(host::LiveMappings(engine).empty());
    Close(*engine, event);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, AnEngineThatExitsWithItsPinRunningTakesItDownCleanly) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    ASSERT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_SUCCESS);
    ASSERT_EQ(Register(pin, KSPROPERTY_RTAUDIO_POSITIONREGISTER).status, STATUS_SUCCESS);
    HANDLE event = EngineEvent();
    ASSERT_EQ(Notification(pin, event, true), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    Exit(*engine);
    // The stream went down to stop and away; the client saw the steps.
    EXPECT_EQ(clientBlock->StreamOpen, 0u);
    // (The buffer's release and the stream's end are handshaken at stop too.)
    std::vector<ULONG> asked = responder->States();
    asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
    ASSERT_GE(asked.size(), 4u);
    EXPECT_EQ(std::vector<ULONG>(asked.end() - 4, asked.end()),
              (std::vector<ULONG>{KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}));
    EXPECT_TRUE(host::LiveMappings(engine).empty());
    // A new engine gets the pin again.
    engine = &NewProcess(false, "engine2");
    HANDLE again = OpenSpeakerPin();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    Close(*engine, again);
    Close(*engine, filter);
}

TEST_F(PinIntegrationTest, ACapturePinHandsOutWhatTheClientWroteAsReadPackets) {
    ConnectClient(false);
    HANDLE pin = OpenStreamingPin(u"wave_c");
    Reply allocated = NotificationBuffer(pin, 4800 * 4, 2);
    ASSERT_EQ(allocated.status, STATUS_SUCCESS);
    const auto buffer = As<KSRTAUDIO_BUFFER>(allocated);
    HANDLE event = EngineEvent();
    ASSERT_EQ(Notification(pin, event, true), STATUS_SUCCESS);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);

    auto* clientBytes =
        reinterpret_cast<unsigned char*>(std::uintptr_t(clientBlock->ClientDataAddress));
    const ULONG frames = buffer.ActualBufferSize / 4;
    for (ULONG i = 0; i < frames / 2 * 4; ++i) {
        clientBytes[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    const Reply early =
        RtAudio(pin, KSPROPERTY_RTAUDIO_GETREADPACKET, sizeof(KSRTAUDIO_GETREADPACKET_INFO));
    EXPECT_EQ(early.status, STATUS_DEVICE_NOT_READY);
    ClientAdvance(frames / 2);
    {
        host::ProcessScope scope(engine);
        ASSERT_EQ(host::user::WaitForSingleObject(event, NeverMilliseconds), WAIT_OBJECT_0);
    }
    const Reply packet =
        RtAudio(pin, KSPROPERTY_RTAUDIO_GETREADPACKET, sizeof(KSRTAUDIO_GETREADPACKET_INFO));
    ASSERT_EQ(packet.status, STATUS_SUCCESS);
    ASSERT_EQ(packet.bytes, sizeof(KSRTAUDIO_GETREADPACKET_INFO));
    const auto info = As<KSRTAUDIO_GETREADPACKET_INFO>(packet);
    EXPECT_EQ(info.PacketNumber, 0u);
    EXPECT_EQ(info.MoreData, FALSE);
    EXPECT_NE(info.PerformanceCounterValue, 0u);
    EXPECT_EQ(std::memcmp(buffer.BufferAddress, clientBytes, frames / 2 * 4), 0);

    Close(*engine, pin);
    EXPECT_TRUE(host::LiveMappings(engine).empty());
    Close(*engine, event);
    Close(*engine, filter);
}

class PortWaveRTStreamTest : public HostTest {};

TEST_F(PortWaveRTStreamTest, PagesComeWholeMappedAndFreedWithTheirMdl) {
    IPortWaveRTStream* stream = host::NewPortWaveRTStream();
    PHYSICAL_ADDRESS high;
    high.QuadPart = -1;
    PMDL mdl = stream->AllocatePagesForMdl(high, 3 * PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(stream->GetPhysicalPagesCount(mdl), 3u);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(ULONGLONG(stream->GetPhysicalPageAddress(mdl, i).QuadPart),
                  ULONGLONG(MmGetMdlPfnArray(mdl)[i]) << PAGE_SHIFT);
    }
    EXPECT_EQ(stream->GetPhysicalPageAddress(mdl, 3).QuadPart, 0);
    auto* first = static_cast<unsigned char*>(stream->MapAllocatedPages(mdl, MmCached));
    auto* second = static_cast<unsigned char*>(stream->MapAllocatedPages(mdl, MmCached));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first[2 * PAGE_SIZE + 7] = 0x5A;
    EXPECT_EQ(second[2 * PAGE_SIZE + 7], 0x5A);
    stream->UnmapAllocatedPages(first, mdl);
    stream->UnmapAllocatedPages(second, mdl);
    stream->FreePagesFromMdl(mdl);

    // Fewer pages than asked are no buffer at all, and nothing is kept of them.
    host::LimitPageAllocation(PAGE_SIZE);
    EXPECT_EQ(stream->AllocatePagesForMdl(high, 2 * PAGE_SIZE), nullptr);
    EXPECT_EQ(host::AllocatedPageCount(), 0u);
    EXPECT_EQ(stream->Release(), 0u);
}

} // namespace
