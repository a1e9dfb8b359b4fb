// The topology miniport: identity, port binding, the jack description at every size and pin,
// and the jack-information change.
#include "AudioTestSupport.h"
#include "audio/TopologyDescriptors.h"

namespace {

using audio_test::Direction;
using audio_test::FakePort;
using audio_test::MiniportHolder;
using audio_test::PropertyProbe;

const PCPROPERTY_ITEM JackItem = {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 0x201,
                                  JackDescriptionHandler};

class MiniportTopologyTest : public HostTest {};

TEST_F(MiniportTopologyTest, InitFailsWithThePortsStatusWithoutEvents) {
    Direction direction(false);
    FakePort<IPortTopology> port(false);
    {
        MiniportHolder<CMiniportTopology> miniport(false, &direction.channel);
        EXPECT_EQ(miniport->Init(nullptr, nullptr, &port),
                  FakePort<IPortTopology>::STATUS_NOINTERFACE_FOR_TEST);
        EXPECT_EQ(miniport->portEvents, nullptr);
        miniport->GenerateJackInfoChange(); // nobody to tell; must not fail
        EXPECT_EQ(port.references, 1);
    }
    EXPECT_EQ(port.references, 0);
    EXPECT_TRUE(port.generated.empty());
}

TEST_F(MiniportTopologyTest, JackChangeIsRaisedOnTheJackPin) {
    for (bool isCapture : {false, true}) {
        Direction direction(!isCapture);
        FakePort<IPortTopology> port(true);
        MiniportHolder<CMiniportTopology> miniport(isCapture, &direction.channel);
        miniport->GenerateJackInfoChange(); // before Init: nothing
        ASSERT_EQ(miniport->Init(nullptr, nullptr, &port), STATUS_SUCCESS);
        miniport->GenerateJackInfoChange();
        ASSERT_EQ(port.generated.size(), 1u);
        const audio_test::GeneratedEvent& event = port.generated[0];
        EXPECT_TRUE(IsEqualGUID(event.set, KSEVENTSETID_PinCapsChange));
        EXPECT_EQ(event.id, ULONG{KSEVENT_PINCAPS_JACKINFOCHANGE});
        EXPECT_EQ(event.pinEvent, TRUE);
        EXPECT_EQ(event.pinId, isCapture ? 1u : 0u);
        EXPECT_EQ(event.nodeEvent, FALSE);
        EXPECT_EQ(event.nodeId, 0xFFFFFFFFu);
    }
}

TEST_F(MiniportTopologyTest, JackDescriptionAtEverySizeAndPin) {
    struct Case {
        bool isCapture;
        ULONG verb;
        ULONG pin;
        size_t instanceSize;
        size_t valueSize;
        NTSTATUS status;
        ULONG valueSizeOut;
        bool written;
    };
    const ULONG get = KSPROPERTY_TYPE_GET;
    const Case cases[] = {
        {false, get, 0, 4, 0, STATUS_BUFFER_OVERFLOW, 36, false},
        {false, get, 0, 4, 35, STATUS_BUFFER_TOO_SMALL, 35, false},
        {false, get, 0, 4, 36, STATUS_SUCCESS, 36, true},
        {false, get, 0, 4, 64, STATUS_SUCCESS, 36, true},
        {false, get, 0, 3, 36, STATUS_BUFFER_TOO_SMALL, 36, false},
        {false, get, 0, 0, 36, STATUS_BUFFER_TOO_SMALL, 36, false},
        {false, get, 1, 4, 36, STATUS_INVALID_PARAMETER, 36, false}, // not the render jack
        {false, get, 2, 4, 36, STATUS_INVALID_PARAMETER, 36, false},
        {true, get, 1, 4, 36, STATUS_SUCCESS, 36, true},
        {true, get, 0, 4, 36, STATUS_INVALID_PARAMETER, 36, false}, // not the capture jack
        {true, get, 2, 8, 36, STATUS_INVALID_PARAMETER, 36, false},
        {true, get, 0xFFFFFFFF, 4, 36, STATUS_INVALID_PARAMETER, 36, false},
        // Neither get nor basic support: accepted, nothing written.
        {true, KSPROPERTY_TYPE_SET, 1, 4, 36, STATUS_SUCCESS, 36, false},
        {false, 0, 0, 4, 36, STATUS_SUCCESS, 36, false},
    };
    for (const Case& c : cases) {
        Direction direction(c.isCapture);
        MiniportHolder<CMiniportTopology> miniport(c.isCapture, &direction.channel);
        PropertyProbe probe;
        probe.target = miniport->MiniportInterface();
        probe.item = &JackItem;
        probe.verb = c.verb;
        probe.SetPin(c.pin, c.instanceSize);
        probe.SetValueSize(c.valueSize);
        SCOPED_TRACE(testing::Message()
                     << "capture " << c.isCapture << " pin " << c.pin << " instance "
                     << c.instanceSize << " value " << c.valueSize);
        EXPECT_EQ(probe.Run(JackDescriptionHandler), c.status);
        EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut);
        EXPECT_TRUE(probe.guardsIntact);
        EXPECT_TRUE(probe.instanceIntact);
        if (!c.written) {
            EXPECT_TRUE(probe.ValueUntouched());
            continue;
        }
        const ULONG expected[9] = {36, 1, 0, 0, 6, 14, 2, 0, 0};
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(probe.ValueAt<ULONG>(i * 4), expected[i]) << "word " << i;
        }
        for (size_t i = 36; i < c.valueSize; ++i) {
            EXPECT_EQ(probe.valueOut[i], PropertyProbe::Pattern);
        }
    }
}

TEST_F(MiniportTopologyTest, JackIsConnectedExactlyWhileTheClientIs) {
    Direction direction(false);
    MiniportHolder<CMiniportTopology> miniport(false, &direction.channel);
    auto isConnected = [&]() {
        PropertyProbe probe;
        probe.target = miniport->MiniportInterface();
        probe.item = &JackItem;
        probe.SetPin(RenderTopologyJackPin);
        probe.SetValueSize(36);
        EXPECT_EQ(probe.Run(JackDescriptionHandler), STATUS_SUCCESS);
        return probe.ValueAt<ULONG>(32);
    };
    EXPECT_EQ(isConnected(), 0u);
    direction.Connect();
    EXPECT_EQ(isConnected(), 1u);
    direction.endpoint.clientEvent = nullptr; // a client without its event is not connected
    EXPECT_EQ(isConnected(), 0u);
}

// Shared by both miniports' event handlers: the verbs and what an enable needs.
template <typename Miniport, typename PortInterface>
void CheckEventVerbs(PCPFNEVENT_HANDLER handler, bool isCapture) {
    Direction direction(!isCapture);
    FakePort<PortInterface> port(true);
    MiniportHolder<Miniport> miniport(isCapture, &direction.channel);
    PKSEVENT_ENTRY entry = reinterpret_cast<PKSEVENT_ENTRY>(&direction.fakeObjects[0]);
    auto call = [&](ULONG verb, PKSEVENT_ENTRY eventEntry) {
        PCEVENT_REQUEST request;
        std::memset(&request, 0, sizeof(request));
        request.MajorTarget = miniport->MiniportInterface();
        request.EventEntry = eventEntry;
        request.Verb = verb;
        return handler(&request);
    };
    const NTSTATUS genericFailure = static_cast<NTSTATUS>(0xF000FFFF);
    EXPECT_EQ(call(PCEVENT_VERB_ADD, entry), genericFailure) << "no port events before Init";
    ASSERT_TRUE(NT_SUCCESS(miniport->Init(nullptr, nullptr, &port)));
    EXPECT_EQ(call(PCEVENT_VERB_ADD, nullptr), genericFailure) << "no event entry";
    EXPECT_EQ(call(PCEVENT_VERB_ADD, entry), STATUS_SUCCESS);
    EXPECT_EQ(call(PCEVENT_VERB_REMOVE, entry), STATUS_SUCCESS);
    EXPECT_EQ(call(PCEVENT_VERB_SUPPORT, entry), STATUS_SUCCESS);
    for (ULONG verb : {0u, 3u, 8u, 0xFFFFFFFFu}) {
        EXPECT_EQ(call(verb, entry), STATUS_INVALID_PARAMETER) << verb;
    }
    ASSERT_EQ(port.addedEntries.size(), 1u);
    EXPECT_EQ(port.addedEntries[0], entry);
}

TEST_F(MiniportTopologyTest, JackEventVerbs) {
    CheckEventVerbs<CMiniportTopology, IPortTopology>(JackEventHandler, false);
}

TEST_F(MiniportTopologyTest, FormatChangeEventVerbs) {
    CheckEventVerbs<CMiniportWaveRT, IPortWaveRT>(FormatChangeEventHandler, true);
}

} // namespace
