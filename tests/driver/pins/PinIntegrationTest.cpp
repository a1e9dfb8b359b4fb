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

// What a pin holds beyond the path the engine tests drive: the format set it keeps and gives
// back, one buffer per pin, registrations it will not forget twice, the clock register the
// stream lacks, and nothing of the engine's left mapped once it closes.
TEST_F(PinIntegrationTest, APinKeepsItsFormatAndOneBufferAndLeavesNothingMapped) {
    ConnectClient(true);
    HANDLE pin = OpenSpeakerPin();
    const std::vector<unsigned char> extensible = PcmFormat(48000, 16, 2, true);
    auto format = [](ULONG verb) {
        return Bytes(Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, verb));
    };
    EXPECT_EQ(Ask(pin, format(KSPROPERTY_TYPE_SET), ULONG(extensible.size()), extensible).status,
              STATUS_SUCCESS);
    Reply kept = Ask(pin, format(KSPROPERTY_TYPE_GET), 128);
    ASSERT_EQ(kept.bytes, extensible.size());
    EXPECT_TRUE(std::equal(extensible.begin(), extensible.end(), kept.value.begin()));

    ASSERT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_SUCCESS);
    EXPECT_EQ(NotificationBuffer(pin, 4800 * 4, 2).status, STATUS_INVALID_DEVICE_REQUEST);
    HANDLE event = EngineEvent();
    ASSERT_EQ(Notification(pin, event, true), STATUS_SUCCESS);
    ASSERT_EQ(Register(pin, KSPROPERTY_RTAUDIO_POSITIONREGISTER).status, STATUS_SUCCESS);
    EXPECT_EQ(RtAudio(pin, KSPROPERTY_RTAUDIO_CLOCKREGISTER, sizeof(KSRTAUDIO_HWREGISTER)).status,
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Register(pin, KSPROPERTY_RTAUDIO_CLOCKREGISTER).status, STATUS_NOT_IMPLEMENTED);
    ASSERT_EQ(SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    const KSRTAUDIO_SETWRITEPACKET_INFO ahead{7, 0, 0};
    EXPECT_EQ(RtAudio(pin, KSPROPERTY_RTAUDIO_SETWRITEPACKET, sizeof(ahead), KSPROPERTY_TYPE_SET,
                      Bytes(ahead))
                  .status,
              STATUS_DATA_OVERRUN);
    // No packet is complete yet: position 0, stamped with a performance-counter time already past
    // (the two fields the other way round would show a counter value as the position).
    Reply presentation = RtAudio(pin, KSPROPERTY_RTAUDIO_PRESENTATION_POSITION,
                                 sizeof(KSAUDIO_PRESENTATION_POSITION));
    ASSERT_EQ(presentation.status, STATUS_SUCCESS);
    EXPECT_EQ(As<KSAUDIO_PRESENTATION_POSITION>(presentation).u64PositionInBlocks, 0u);
    const ULONGLONG stamp = As<KSAUDIO_PRESENTATION_POSITION>(presentation).u64QPCPosition;
    EXPECT_GT(stamp, 0u);
    EXPECT_LE(stamp, ULONGLONG(KeQueryPerformanceCounter(nullptr).QuadPart));
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
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
