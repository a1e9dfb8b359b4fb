// The driver's four filters reached as the audio stack reaches them: opened by interface path,
// asked through property and event-enable requests from a user-mode process, while a client
// connects and changes the format through its own file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <ksmedia.h>

#include "DriverTest.h"
#include "KsTestRequests.h"
#include "kernel/UserEvents.h"
#include "portcls/PortClass.h"

namespace {

const unsigned char Guard = 0xEE;
const ULONG GuardBytes = 16;

std::vector<unsigned char> PinRequest(const GUID& set, ULONG id, ULONG flags, ULONG pin) {
    return Bytes(KSP_PIN{Property(set, id, flags), pin, 0});
}

std::vector<unsigned char> NodeRequest(const GUID& set, ULONG id, ULONG flags, ULONG node) {
    return Bytes(KSP_NODE{Property(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY), node, 0});
}

// A data-intersection request for pin 0 carrying one audio range.
std::vector<unsigned char> IntersectionRequest(const KSDATARANGE_AUDIO& range) {
    std::vector<unsigned char> request =
        PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET, 0);
    for (const auto& part :
         {Bytes(KSMULTIPLE_ITEM{ULONG(sizeof(KSMULTIPLE_ITEM) + sizeof(range)), 1}),
          Bytes(range)}) {
        request.insert(request.end(), part.begin(), part.end());
    }
    return request;
}

KSDATARANGE_AUDIO PcmRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate,
                           ULONG maxRate) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

std::vector<std::u16string> FilterNames(const GUID& category) {
    std::vector<std::u16string> names;
    for (const std::u16string& path : host::user::GetDeviceInterfacePaths(category)) {
        names.push_back(path.substr(path.rfind(u'\\') + 1));
    }
    return names;
}

class FilterIntegrationTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadAndStart();
        audio = &NewProcess(false, "audio");
    }

    // Opened from the audio process; its exit at the end of the test closes what is still open.
    HANDLE OpenFilter(const std::u16string& name) {
        std::u16string path = FilterPath(name);
        EXPECT_FALSE(path.empty()) << "no interface for a filter";
        host::ProcessScope scope(audio);
        HANDLE filter = host::user::CreateFile(path);
        EXPECT_NE(filter, INVALID_HANDLE_VALUE);
        return filter;
    }

    // Sends a property request with a value of exactly valueSize bytes followed by guard bytes,
    // and checks that none of the guard bytes changed.
    Reply Ask(HANDLE filter, const std::vector<unsigned char>& input, ULONG valueSize,
              const std::vector<unsigned char>& value = {}) {
        std::vector<unsigned char> buffer(valueSize + GuardBytes, Guard);
        std::copy_n(value.begin(), std::min<size_t>(value.size(), valueSize), buffer.begin());
        Reply reply{STATUS_UNSUCCESSFUL, 0, {}};
        {
            host::ProcessScope scope(audio);
            host::user::DeviceIoControl(
                filter, IOCTL_KS_PROPERTY, input.data(), ULONG(input.size()),
                valueSize == 0 ? nullptr : buffer.data(), valueSize, &reply.bytes, &reply.status);
        }
        for (ULONG at = valueSize; at < buffer.size(); ++at) {
            EXPECT_EQ(buffer[at], Guard) << "written past the value at " << at;
        }
        reply.value.assign(buffer.begin(), buffer.begin() + valueSize);
        return reply;
    }

    // Enables a filter event with a user event, for one pin when a pin is given (a KSE_PIN, as
    // the audio stack asks for jack changes); the event's handle.
    HANDLE EnableEvent(HANDLE filter, ULONG id, NTSTATUS* status, ULONG pin = ULONG(-1)) {
        host::ProcessScope scope(audio);
        HANDLE event = host::user::CreateEvent(false, false);
        KSE_PIN request{};
        request.Event.Set = KSEVENTSETID_PinCapsChange;
        request.Event.Id = id;
        request.Event.Flags = KSEVENT_TYPE_ENABLE;
        request.PinId = pin;
        KSEVENTDATA data{};
        data.NotificationType = KSEVENTF_EVENT_HANDLE;
        data.EventHandle.Event = event;
        const ULONG requestSize = pin == ULONG(-1) ? sizeof(KSEVENT) : sizeof(KSE_PIN);
        host::user::DeviceIoControl(filter, IOCTL_KS_ENABLE_EVENT, &request, requestSize, &data,
                                    sizeof(data), nullptr, status);
        return event;
    }

    bool Signalled(HANDLE event) {
        host::ProcessScope scope(audio);
        return host::user::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }

    // A client's file for a direction, connected (its event registered) when asked.
    HANDLE Client(bool render, bool connect) {
        if (client == nullptr) {
            client = &NewProcess(false, "client");
        }
        HANDLE file = OpenTransport(*client, render);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        if (connect) {
            ConnectClient(file);
        }
        return file;
    }

    void ConnectClient(HANDLE file) { RegisterClientEvent(*client, file); }

    NTSTATUS SetFormat(HANDLE file, ULONG rate, ULONG bits, ULONG channels, ULONG container,
                       ULONG mask) {
        transport::SetFormatInput input{
            transport::ProtocolVersion, rate, bits, channels, container, mask};
        return Control(*client, file, transport::IoctlSetFormat, &input, sizeof(input), nullptr, 0);
    }

    host::Process* audio = nullptr;
    host::Process* client = nullptr;
};

TEST_F(FilterIntegrationTest, FourSubdevicesInOrderWithTheirInterfaces) {
    const std::vector<std::u16string> order = {u"topo_c", u"wave_c", u"topo_r", u"wave_r"};
    EXPECT_EQ(machine.Get<host::PortClass>().SubdeviceNames(FunctionalDevice()), order);
    EXPECT_EQ(FilterNames(KSCATEGORY_AUDIO), order);
    EXPECT_EQ(FilterNames(KSCATEGORY_TOPOLOGY),
              (std::vector<std::u16string>{u"topo_c", u"topo_r"}));
    EXPECT_EQ(FilterNames(KSCATEGORY_CAPTURE), std::vector<std::u16string>{u"wave_c"});
    EXPECT_EQ(FilterNames(KSCATEGORY_RENDER), std::vector<std::u16string>{u"wave_r"});
    EXPECT_EQ(FilterNames(KSCATEGORY_REALTIME),
              (std::vector<std::u16string>{u"wave_c", u"wave_r"}));
}

TEST_F(FilterIntegrationTest, PhysicalConnectionsFollowTheDirection) {
    const auto connections = machine.Get<host::PortClass>().Connections(FunctionalDevice());
    ASSERT_EQ(connections.size(), 2u);
    // The capture side's jack feeds its WaveRT filter; the render side's WaveRT feeds its jack.
    EXPECT_EQ(connections[0].fromName, u"topo_c");
    EXPECT_EQ(connections[1].fromName, u"wave_r");

    struct Case {
        const char16_t* filter;
        ULONG pin;
        const char16_t* other; // null: no connection on this pin
        ULONG otherPin;
    };
    const Case cases[] = {
        {u"topo_c", 0, u"wave_c", 1}, {u"wave_c", 1, u"topo_c", 0}, {u"wave_r", 1, u"topo_r", 1},
        {u"topo_r", 1, u"wave_r", 1}, {u"topo_c", 1, nullptr, 0},   {u"wave_r", 0, nullptr, 0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(&item - cases);
        HANDLE filter = OpenFilter(item.filter);
        std::vector<unsigned char> request = PinRequest(
            KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION, KSPROPERTY_TYPE_GET, item.pin);
        Reply size = Ask(filter, request, 0);
        if (item.other == nullptr) {
            EXPECT_EQ(size.status, STATUS_NOT_FOUND);
            continue;
        }
        ASSERT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
        Reply reply = Ask(filter, request, size.bytes);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        ASSERT_EQ(reply.bytes, size.bytes);
        ULONG otherPin = 0;
        std::memcpy(&otherPin, reply.value.data() + sizeof(ULONG), sizeof(otherPin));
        EXPECT_EQ(otherPin, item.otherPin);
        // The link names the other filter's interface, so the stack can open it.
        std::u16string link(reinterpret_cast<const char16_t*>(
            reply.value.data() + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName)));
        const std::u16string tail = std::u16string(u"\\") + item.other;
        ASSERT_GT(link.size(), tail.size());
        EXPECT_EQ(link.substr(link.size() - tail.size()), tail);
    }
}

// Looks inside the adapter after the failure: host build only.
class FailedStartWhiteBoxTest : public DriverTest {};

TEST_F(FailedStartWhiteBoxTest, AFailingRenderWavePortLeavesOnlyItsTopologyFilter) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    // The first port Init is topo_c's, the second wave_c's.
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::PortInit, STATUS_UNSUCCESSFUL,
                                               2);
    EXPECT_FALSE(NT_SUCCESS(Start()));
    AdapterCommon* adapter = Adapter();
    ASSERT_NE(adapter, nullptr);
    host::PortClass& library = machine.Get<host::PortClass>();
    EXPECT_EQ(library.SubdeviceNames(adapter->deviceObject),
              std::vector<std::u16string>{u"topo_c"});
    EXPECT_EQ(FilterNames(KSCATEGORY_AUDIO), std::vector<std::u16string>{u"topo_c"});
    EXPECT_TRUE(library.Connections(adapter->deviceObject).empty());
}

// The jack follows the client's connection, one change event per change.
TEST_F(FilterIntegrationTest, JackFollowsTheClientWithOneEventPerChange) {
    struct Case {
        const char16_t* filter;
        bool render; // the client file behind the filter
        ULONG jackPin;
    };
    for (const Case& item : {Case{u"topo_c", true, 1}, Case{u"topo_r", false, 0}}) {
        HANDLE filter = OpenFilter(item.filter);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        HANDLE jackEvent =
            EnableEvent(filter, KSEVENT_PINCAPS_JACKINFOCHANGE, &status, item.jackPin);
        ASSERT_EQ(status, STATUS_SUCCESS);
        // The change is raised on the jack pin: a listener on the bridge pin hears nothing.
        HANDLE bridgeEvent =
            EnableEvent(filter, KSEVENT_PINCAPS_JACKINFOCHANGE, &status, 1 - item.jackPin);
        ASSERT_EQ(status, STATUS_SUCCESS);
        HANDLE other = OpenFilter(item.render ? u"topo_r" : u"topo_c");
        HANDLE otherJack = EnableEvent(other, KSEVENT_PINCAPS_JACKINFOCHANGE, &status);
        std::vector<unsigned char> request = PinRequest(
            KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, item.jackPin);
        Reply size = Ask(filter, request, 0);
        EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(size.bytes, 36u);
        Reply tooSmall = Ask(filter, request, 35);
        EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooSmall.value, std::vector<unsigned char>(35, Guard));
        // A pin id without the KSP_PIN's reserved word is instance enough.
        std::vector<unsigned char> pinIdOnly = request;
        pinIdOnly.resize(sizeof(KSPROPERTY) + sizeof(ULONG));
        EXPECT_EQ(Ask(filter, pinIdOnly, 36).status, STATUS_SUCCESS);
        EXPECT_EQ(Ask(filter,
                      PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET,
                                 1 - item.jackPin),
                      36)
                      .status,
                  STATUS_INVALID_PARAMETER)
            << "the other pin has no jack";

        auto isConnected = [&] {
            Reply reply = Ask(filter, request, 40);
            EXPECT_EQ(reply.bytes, 36u);
            KSJACK_DESCRIPTION jack{};
            std::memcpy(&jack, reply.value.data() + sizeof(KSMULTIPLE_ITEM), sizeof(jack));
            return jack.IsConnected;
        };
        EXPECT_EQ(isConnected(), FALSE);
        HANDLE file = Client(item.render, false);
        EXPECT_EQ(isConnected(), FALSE) << "an open file without its event is not a client";
        EXPECT_FALSE(Signalled(jackEvent));
        ConnectClient(file);
        EXPECT_EQ(isConnected(), TRUE);
        EXPECT_TRUE(Signalled(jackEvent));
        EXPECT_FALSE(Signalled(jackEvent)) << "one signal per change";
        // Requests that leave the connection as it was raise nothing.
        transport::SetLatencyInput latency{transport::ProtocolVersion, 480};
        EXPECT_EQ(Control(*client, file, transport::IoctlSetLatency, &latency, sizeof(latency),
                          nullptr, 0),
                  STATUS_SUCCESS);
        EXPECT_FALSE(Signalled(jackEvent));
        Close(*client, file);
        EXPECT_EQ(isConnected(), FALSE);
        EXPECT_TRUE(Signalled(jackEvent));
        EXPECT_FALSE(Signalled(otherJack)) << "the other direction's jack did not change";
        EXPECT_FALSE(Signalled(bridgeEvent));
    }
}

TEST_F(FilterIntegrationTest, CpuResourcesOnEveryFilter) {
    const auto get =
        Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, KSPROPERTY_TYPE_GET));
    for (const char16_t* name : {u"topo_c", u"wave_c", u"topo_r", u"wave_r"}) {
        HANDLE filter = OpenFilter(name);
        Reply size = Ask(filter, get, 0);
        EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(size.bytes, 4u);
        EXPECT_EQ(Ask(filter, get, 3).status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(Ask(filter, get, 4).value, Bytes(ULONG(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU)));
        EXPECT_EQ(Ask(filter,
                      Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
                                     KSPROPERTY_TYPE_SET)),
                      4)
                      .status,
                  STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The size is learnt with an empty value; four bytes get the access flags alone; a whole
// description has the item's access flags, then the value's type where the property has one, a
// null type where it has none: every byte reported is written (the port's value buffer is
// kernel memory that would otherwise reach the caller).
TEST_F(FilterIntegrationTest, BasicSupportDescribesEachProperty) {
    const ULONG support = KSPROPERTY_TYPE_BASICSUPPORT;
    const ULONG getSupport = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    const ULONG all = getSupport | KSPROPERTY_TYPE_SET;
    const GUID none = {};
    struct Case {
        const char16_t* filter;
        std::vector<unsigned char> request;
        ULONG access;
        const GUID& typeSet;
        ULONG typeId;
    };
    const Case cases[] = {
        {u"topo_r", Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, support)),
         getSupport, KSPROPTYPESETID_General, 19}, // VT_UI4
        {u"topo_r", PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, support, 0),
         getSupport, none, 0},
        {u"wave_c", PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, support, 0), all,
         none, 0},
        {u"wave_c", NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, support, 0),
         all, none, 0},
    };
    const ULONG size = sizeof(KSPROPERTY_DESCRIPTION);
    for (const Case& item : cases) {
        SCOPED_TRACE(&item - cases);
        HANDLE filter = OpenFilter(item.filter);
        Reply learn = Ask(filter, item.request, 0);
        EXPECT_EQ(learn.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(learn.bytes, size);
        EXPECT_EQ(Ask(filter, item.request, 2).status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(Ask(filter, item.request, 4).value, Bytes(item.access));
        Reply reply = Ask(filter, item.request, size + 4);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytes, size);
        KSPROPERTY_DESCRIPTION description;
        std::memcpy(&description, reply.value.data(), size);
        EXPECT_EQ(description.AccessFlags, item.access);
        EXPECT_EQ(description.DescriptionSize, size);
        EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, item.typeSet));
        EXPECT_EQ(description.PropTypeSet.Id, item.typeId);
        EXPECT_EQ(description.PropTypeSet.Flags, 0u);
        EXPECT_EQ(description.MembersListCount, 0u);
        EXPECT_EQ(description.Reserved, 0u);
    }
}

TEST_F(FilterIntegrationTest, IntersectionOffersTheDeviceFormat) {
    HANDLE filter = OpenFilter(u"wave_r");
    const KSDATARANGE_AUDIO wide = PcmRange(8, 8, 32, 8000, 384000);
    // The start-up format (384 kHz, 32-bit, 8 channels) needs the extensible layout.
    Reply size = Ask(filter, IntersectionRequest(wide), 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.bytes, 104u);
    EXPECT_EQ(Ask(filter, IntersectionRequest(wide), 80).status, STATUS_BUFFER_TOO_SMALL);
    Reply reply = Ask(filter, IntersectionRequest(wide), 104);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes, 104u);
    KSDATAFORMAT header{};
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&wave, reply.value.data() + sizeof(header), sizeof(wave));
    EXPECT_EQ(wave.Format.nSamplesPerSec, 384000u);
    EXPECT_EQ(wave.dwChannelMask, 0x63Fu);

    KSDATARANGE_AUDIO floatRange = wide;
    floatRange.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    struct Case {
        const char* what;
        KSDATARANGE_AUDIO range;
    };
    const Case refused[] = {
        {"rate limit 48,000", PcmRange(8, 8, 32, 8000, 48000)},
        {"IEEE float", floatRange},
        {"too few channels", PcmRange(2, 8, 32, 8000, 384000)},
        {"16 bits at most", PcmRange(8, 8, 16, 8000, 384000)},
    };
    for (const Case& item : refused) {
        EXPECT_EQ(Ask(filter, IntersectionRequest(item.range), 104).status, STATUS_NO_MATCH)
            << item.what;
    }

    HANDLE file = Client(false, true); // the Capture client's format is wave_r's
    ASSERT_EQ(SetFormat(file, 48000, 16, 2, 2, 0), STATUS_SUCCESS);
    reply = Ask(filter, IntersectionRequest(PcmRange(2, 16, 16, 48000, 48000)), 104);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    std::memcpy(&header, reply.value.data(), sizeof(header));
    EXPECT_EQ(header.FormatSize, 80u);
    WAVEFORMATEX plain{};
    std::memcpy(&plain, reply.value.data() + sizeof(header), sizeof(plain));
    EXPECT_EQ(plain.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(plain.nSamplesPerSec, 48000u);
    // The rest of the block is zero, not whatever the caller's buffer held.
    for (size_t at = sizeof(header) + 16; at < 104; ++at) {
        EXPECT_EQ(reply.value[at], 0) << at;
    }
    // The wave_c filter still offers its own start-up format.
    HANDLE other = OpenFilter(u"wave_c");
    EXPECT_EQ(Ask(other, IntersectionRequest(PcmRange(2, 16, 16, 48000, 48000)), 104).status,
              STATUS_NO_MATCH);
}

TEST_F(FilterIntegrationTest, ProposedFormatGetAndSet) {
    HANDLE filter = OpenFilter(u"wave_c");
    const auto get =
        PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_GET, 0);
    Reply size = Ask(filter, get, 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.bytes, 64u);
    EXPECT_EQ(Ask(filter, get, 64).status, STATUS_BUFFER_TOO_SMALL);
    Reply current = Ask(filter, get, 120);
    ASSERT_EQ(current.status, STATUS_SUCCESS);
    ASSERT_EQ(current.bytes, 104u);
    current.value.resize(104);
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&wave, current.value.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    EXPECT_EQ(wave.Format.nSamplesPerSec, 384000u);
    // Pin 1 is the bridge: it proposes nothing; a request without a pin is too short.
    EXPECT_EQ(
        Ask(filter,
            PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_GET, 1),
            104)
            .status,
        STATUS_INVALID_PARAMETER);

    const auto set =
        PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, 0);
    EXPECT_EQ(Ask(filter, set, 104, current.value).status, STATUS_SUCCESS);
    std::vector<unsigned char> otherRate = current.value;
    WAVEFORMATEXTENSIBLE changed = wave;
    changed.Format.nSamplesPerSec = 48000;
    changed.Format.nAvgBytesPerSec = 48000 * changed.Format.nBlockAlign;
    std::memcpy(otherRate.data() + sizeof(KSDATAFORMAT), &changed, sizeof(changed));
    EXPECT_EQ(Ask(filter, set, 104, otherRate).status, STATUS_NO_MATCH);
    EXPECT_EQ(Ask(filter, set, 63, current.value).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ask(filter, set, 80, current.value).status, STATUS_BUFFER_TOO_SMALL)
        << "a value shorter than its FormatSize";

    // The device format with a signal-processing mode attribute behind it.
    auto withMode = [&](const GUID& mode) {
        std::vector<unsigned char> value = current.value;
        KSDATAFORMAT header{};
        std::memcpy(&header, value.data(), sizeof(header));
        header.Flags |= KSDATAFORMAT_ATTRIBUTES;
        std::memcpy(value.data(), &header, sizeof(header));
        KSMULTIPLE_ITEM list{sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE) + sizeof(GUID), 1};
        KSATTRIBUTE attribute{sizeof(KSATTRIBUTE) + sizeof(GUID), 0,
                              KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
        for (const auto& part : {Bytes(list), Bytes(attribute), Bytes(mode)}) {
            value.insert(value.end(), part.begin(), part.end());
        }
        return value;
    };
    struct Case {
        const char* what;
        GUID mode;
        NTSTATUS status;
    };
    const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    const Case cases[] = {
        {"raw", AUDIO_SIGNALPROCESSINGMODE_RAW, STATUS_SUCCESS},
        {"default", AUDIO_SIGNALPROCESSINGMODE_DEFAULT, STATUS_SUCCESS},
        {"another", other, STATUS_NO_MATCH},
    };
    for (const Case& item : cases) {
        std::vector<unsigned char> value = withMode(item.mode);
        EXPECT_EQ(Ask(filter, set, ULONG(value.size()), value).status, item.status) << item.what;
    }
    // Only an answer: the device format did not change.
    Reply after = Ask(filter, get, 104);
    EXPECT_EQ(after.value, current.value);
}

TEST_F(FilterIntegrationTest, ChannelConfigurationFollowsTheChannelCount) {
    HANDLE filter = OpenFilter(u"wave_r");
    const auto get =
        NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, KSPROPERTY_TYPE_GET, 0);
    const auto set =
        NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, KSPROPERTY_TYPE_SET, 0);
    Reply size = Ask(filter, get, 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.bytes, 4u);
    EXPECT_EQ(Ask(filter, get, 2).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ask(filter, get, 8).value,
              (std::vector<unsigned char>{0x3F, 0x06, 0, 0, Guard, Guard, Guard, Guard}));
    EXPECT_EQ(Ask(filter, set, 4, Bytes(ULONG(0x40000))).status, STATUS_INVALID_PARAMETER)
        << "no speaker above bit 17, even with 8 channels";
    EXPECT_EQ(
        Ask(filter,
            NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, KSPROPERTY_TYPE_GET, 1),
            4)
            .status,
        STATUS_INVALID_PARAMETER)
        << "no node 1";

    HANDLE file = Client(false, true);
    ASSERT_EQ(SetFormat(file, 48000, 16, 2, 2, 0), STATUS_SUCCESS);
    struct Case {
        ULONG mask;
        NTSTATUS status;
        ULONG after;
    };
    const Case cases[] = {
        {0x3, STATUS_SUCCESS, 0x3},
        {0x7, STATUS_INVALID_PARAMETER, 0x3},
        {0x0, STATUS_SUCCESS, 0x0},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(Ask(filter, set, 4, Bytes(item.mask)).status, item.status) << item.mask;
        EXPECT_EQ(Ask(filter, get, 4).value, Bytes(item.after)) << item.mask;
    }
}

TEST_F(FilterIntegrationTest, FormatChangeEventOnlyForANewFormat) {
    HANDLE filter = OpenFilter(u"wave_c");
    HANDLE otherFilter = OpenFilter(u"wave_r");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE event = EnableEvent(filter, KSEVENT_PINCAPS_FORMATCHANGE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    HANDLE otherEvent = EnableEvent(otherFilter, KSEVENT_PINCAPS_FORMATCHANGE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    // The jack event is the topology filter's, not the WaveRT filter's.
    EnableEvent(filter, KSEVENT_PINCAPS_JACKINFOCHANGE, &status);
    EXPECT_EQ(status, STATUS_NOT_FOUND);

    HANDLE file = Client(true, true);
    EXPECT_FALSE(Signalled(event)) << "a connection is not a format change";
    ASSERT_EQ(SetFormat(file, 48000, 16, 2, 2, 0), STATUS_SUCCESS);
    EXPECT_TRUE(Signalled(event));
    EXPECT_FALSE(Signalled(otherEvent));
    // The same format again (the default mask spelled out) changes nothing.
    ASSERT_EQ(SetFormat(file, 48000, 16, 2, 2, 0x3), STATUS_SUCCESS);
    EXPECT_FALSE(Signalled(event));
    // A refused format neither.
    EXPECT_NE(SetFormat(file, 48000, 16, 0, 2, 0), STATUS_SUCCESS);
    EXPECT_FALSE(Signalled(event));
    ASSERT_EQ(SetFormat(file, 44100, 16, 2, 2, 0), STATUS_SUCCESS);
    EXPECT_TRUE(Signalled(event));
}

// Every handler of the four filters with the sizes the port can hand it: none writes past its
// value (Ask checks the guard bytes), and malformed requests are refused.
TEST_F(FilterIntegrationTest, EveryHandlerWithEverySize) {
    struct Target {
        const char16_t* filter;
        std::vector<unsigned char> request;
    };
    const ULONG verbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT};
    for (const char16_t* name : {u"topo_c", u"wave_c", u"topo_r", u"wave_r"}) {
        HANDLE filter = OpenFilter(name);
        const bool wave = name[0] == u'w';
        std::vector<std::vector<unsigned char>> requests;
        for (ULONG verb : verbs) {
            requests.push_back(
                Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, verb)));
            for (ULONG pin : {0u, 1u, 2u, 0xFFFFFFFFu}) {
                requests.push_back(
                    PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, verb, pin));
                requests.push_back(
                    PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, verb, pin));
            }
            for (ULONG node : {0u, 1u, 0xFFFFFFFFu}) {
                requests.push_back(
                    NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, verb, node));
                requests.push_back(
                    NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, verb, node));
            }
            // Instance too short: the bare property for handlers that need a pin or a node.
            requests.push_back(
                Bytes(Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, verb)));
            requests.push_back(
                Bytes(Property(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, verb)));
            requests.push_back(Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                              verb | KSPROPERTY_TYPE_TOPOLOGY)));
        }
        // Unknown verbs and ids.
        requests.push_back(
            Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, 0x40000000)));
        requests.push_back(Bytes(Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
                                          KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)));
        requests.push_back(Bytes(Property(KSPROPSETID_Audio, 0x7777, KSPROPERTY_TYPE_GET)));
        requests.push_back(
            PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_SET, 1));

        for (const auto& request : requests) {
            for (ULONG valueSize : {0u, 1u, 3u, 4u, 35u, 36u, 63u, 64u, 103u, 104u, 200u}) {
                std::vector<unsigned char> value(valueSize, 0);
                Reply reply = Ask(filter, request, valueSize, value);
                if (NT_SUCCESS(reply.status) && reply.status != STATUS_BUFFER_OVERFLOW) {
                    EXPECT_LE(reply.bytes, valueSize);
                }
            }
        }
        // Malformed requests of the handlers this filter has.
        const ULONG jackPin = name == std::u16string(u"topo_c") ? 1 : 0;
        struct Refusal {
            const char* what;
            std::vector<unsigned char> request;
            NTSTATUS status;
        };
        std::vector<unsigned char> shortPin =
            PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, jackPin);
        shortPin.resize(sizeof(KSPROPERTY) + 2);
        const std::vector<Refusal> refusals =
            wave ? std::vector<Refusal>{
                       {"jack on a WaveRT filter",
                        PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                   KSPROPERTY_TYPE_GET, 0),
                        STATUS_NOT_FOUND},
                       {"pin 2", PinRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                            KSPROPERTY_TYPE_GET, 2),
                        STATUS_INVALID_PARAMETER},
                   }
                 : std::vector<Refusal>{
                       {"instance too short", shortPin, STATUS_BUFFER_TOO_SMALL},
                       {"pin 2", PinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                            KSPROPERTY_TYPE_GET, 2),
                        STATUS_INVALID_PARAMETER},
                       {"channel config on topology",
                        NodeRequest(KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                    KSPROPERTY_TYPE_GET, 0),
                        STATUS_NOT_FOUND},
                   };
        for (const Refusal& item : refusals) {
            Reply reply = Ask(filter, item.request, 104);
            EXPECT_EQ(reply.status, item.status) << item.what;
            EXPECT_EQ(reply.value, std::vector<unsigned char>(104, Guard)) << item.what;
        }
    }
}

} // namespace
