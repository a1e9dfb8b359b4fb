// The constant filter descriptors: every count, index and reference is walked, and the
// properties of the tables the rest of the device relies on are checked.
#include <vector>

#include "AudioTestSupport.h"
#include "audio/PropertyRoutines.h"
#include "audio/TopologyDescriptors.h"
#include "audio/WaveRTDescriptors.h"

namespace {

using audio_test::FindProperty;

struct NamedDescriptor {
    const char* name;
    const PCFILTER_DESCRIPTOR* descriptor;
};

const NamedDescriptor AllDescriptors[] = {
    {"render topology", &RenderTopologyDescriptor},
    {"capture topology", &CaptureTopologyDescriptor},
    {"render WaveRT", &RenderWaveDescriptor},
    {"capture WaveRT", &CaptureWaveDescriptor},
};

void ExpectWellFormedTable(const PCAUTOMATION_TABLE* table, const char* where) {
    if (table == nullptr) {
        return;
    }
    EXPECT_EQ(table->PropertyItemSize, sizeof(PCPROPERTY_ITEM)) << where;
    EXPECT_EQ(table->EventItemSize, sizeof(PCEVENT_ITEM)) << where;
    EXPECT_EQ(table->MethodCount, 0u) << where;
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        EXPECT_NE(table->Properties[i].Set, nullptr) << where;
        EXPECT_NE(table->Properties[i].Handler, nullptr) << where;
    }
    for (ULONG i = 0; i < table->EventCount; ++i) {
        EXPECT_NE(table->Events[i].Set, nullptr) << where;
        EXPECT_NE(table->Events[i].Handler, nullptr) << where;
    }
}

// A connection end names the filter's own pin or an existing node's pin 0 (out) or 1 (in).
void ExpectEndExists(const PCFILTER_DESCRIPTOR& filter, ULONG node, ULONG pin, const char* name) {
    if (node == PCFILTER_NODE) {
        EXPECT_LT(pin, filter.PinCount) << name;
    } else {
        EXPECT_LT(node, filter.NodeCount) << name;
        EXPECT_LE(pin, 1u) << name;
    }
}

TEST(FilterDescriptors, CountsSizesAndReferencesAreConsistent) {
    for (const NamedDescriptor& named : AllDescriptors) {
        const PCFILTER_DESCRIPTOR& filter = *named.descriptor;
        EXPECT_EQ(filter.Version, 0u) << named.name;
        EXPECT_EQ(filter.PinSize, sizeof(PCPIN_DESCRIPTOR)) << named.name;
        EXPECT_EQ(filter.NodeSize, sizeof(PCNODE_DESCRIPTOR)) << named.name;
        EXPECT_EQ(filter.PinCount, 2u) << named.name;
        EXPECT_EQ(filter.NodeCount, 1u) << named.name;
        EXPECT_EQ(filter.ConnectionCount, 2u) << named.name;
        ExpectWellFormedTable(filter.AutomationTable, named.name);
        for (ULONG p = 0; p < filter.PinCount; ++p) {
            const PCPIN_DESCRIPTOR& pin = filter.Pins[p];
            ExpectWellFormedTable(pin.AutomationTable, named.name);
            const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
            EXPECT_EQ(ks.InterfacesCount, 0u) << named.name;
            EXPECT_EQ(ks.MediumsCount, 0u) << named.name;
            EXPECT_EQ(ks.Name, nullptr) << named.name;
            EXPECT_EQ(ks.ConstrainedDataRangesCount, 0u) << named.name;
            ASSERT_EQ(ks.DataRangesCount, 1u) << named.name;
            EXPECT_TRUE(ks.DataFlow == KSPIN_DATAFLOW_IN || ks.DataFlow == KSPIN_DATAFLOW_OUT);
            EXPECT_NE(ks.Category, nullptr) << named.name;
        }
        for (ULONG n = 0; n < filter.NodeCount; ++n) {
            EXPECT_NE(filter.Nodes[n].Type, nullptr) << named.name;
            ExpectWellFormedTable(filter.Nodes[n].AutomationTable, named.name);
        }
        // Every pin and the node are on the signal path exactly once.
        std::vector<int> pinUses(filter.PinCount, 0);
        for (ULONG c = 0; c < filter.ConnectionCount; ++c) {
            const PCCONNECTION_DESCRIPTOR& connection = filter.Connections[c];
            ExpectEndExists(filter, connection.FromNode, connection.FromNodePin, named.name);
            ExpectEndExists(filter, connection.ToNode, connection.ToNodePin, named.name);
            if (connection.FromNode == PCFILTER_NODE) {
                ++pinUses[connection.FromNodePin];
                EXPECT_EQ(filter.Pins[connection.FromNodePin].KsPinDescriptor.DataFlow,
                          KSPIN_DATAFLOW_IN)
                    << named.name << ": signal enters the filter through an input pin";
                EXPECT_EQ(connection.ToNodePin, ULONG{KSNODEPIN_STANDARD_IN}) << named.name;
            } else {
                ASSERT_EQ(connection.ToNode, PCFILTER_NODE) << named.name;
                ++pinUses[connection.ToNodePin];
                EXPECT_EQ(filter.Pins[connection.ToNodePin].KsPinDescriptor.DataFlow,
                          KSPIN_DATAFLOW_OUT)
                    << named.name;
                EXPECT_EQ(connection.FromNodePin, ULONG{KSNODEPIN_STANDARD_OUT}) << named.name;
            }
        }
        EXPECT_EQ(pinUses, std::vector<int>(filter.PinCount, 1)) << named.name;
    }
}

TEST(FilterDescriptors, CategoriesInOrder) {
    struct Case {
        const PCFILTER_DESCRIPTOR* filter;
        std::vector<GUID> categories;
    };
    const Case cases[] = {
        {&RenderTopologyDescriptor, {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}},
        {&CaptureTopologyDescriptor, {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}},
        {&RenderWaveDescriptor, {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_REALTIME}},
        {&CaptureWaveDescriptor, {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, KSCATEGORY_REALTIME}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.filter->CategoryCount, c.categories.size());
        for (size_t i = 0; i < c.categories.size(); ++i) {
            EXPECT_TRUE(IsEqualGUID(c.filter->Categories[i], c.categories[i])) << i;
        }
    }
}

TEST(FilterDescriptors, PinsOfEachFilter) {
    struct Case {
        const PCFILTER_DESCRIPTOR* filter;
        ULONG pin;
        KSPIN_DATAFLOW dataFlow;
        KSPIN_COMMUNICATION communication;
        const GUID* category;
        ULONG maxGlobal, maxFilter;
        const KSDATARANGE* range;
    };
    const KSDATARANGE* pcm = &PcmDataRange.DataRange;
    const Case cases[] = {
        {&RenderTopologyDescriptor, RenderTopologyJackPin, KSPIN_DATAFLOW_OUT,
         KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER, 0, 0, &BridgeDataRange},
        {&RenderTopologyDescriptor, RenderTopologyBridgePin, KSPIN_DATAFLOW_IN,
         KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, 0, 0, &BridgeDataRange},
        {&CaptureTopologyDescriptor, CaptureTopologyBridgePin, KSPIN_DATAFLOW_OUT,
         KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, 0, 0, &BridgeDataRange},
        {&CaptureTopologyDescriptor, CaptureTopologyJackPin, KSPIN_DATAFLOW_IN,
         KSPIN_COMMUNICATION_NONE, &KSNODETYPE_MICROPHONE, 0, 0, &BridgeDataRange},
        {&RenderWaveDescriptor, WaveStreamingPin, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
         &KSCATEGORY_AUDIO, 1, 1, pcm},
        {&RenderWaveDescriptor, WaveBridgePin, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE,
         &KSCATEGORY_AUDIO, 0, 0, &BridgeDataRange},
        {&CaptureWaveDescriptor, WaveStreamingPin, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK,
         &PINNAME_CAPTURE, 1, 1, pcm},
        {&CaptureWaveDescriptor, WaveBridgePin, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
         &KSCATEGORY_AUDIO, 0, 0, &BridgeDataRange},
    };
    for (const Case& c : cases) {
        const PCPIN_DESCRIPTOR& pin = c.filter->Pins[c.pin];
        EXPECT_EQ(pin.KsPinDescriptor.DataFlow, c.dataFlow) << c.pin;
        EXPECT_EQ(pin.KsPinDescriptor.Communication, c.communication) << c.pin;
        EXPECT_TRUE(IsEqualGUID(*pin.KsPinDescriptor.Category, *c.category)) << c.pin;
        EXPECT_EQ(pin.MaxGlobalInstanceCount, c.maxGlobal);
        EXPECT_EQ(pin.MaxFilterInstanceCount, c.maxFilter);
        EXPECT_EQ(pin.MinFilterInstanceCount, 0u);
        EXPECT_EQ(pin.KsPinDescriptor.DataRanges[0], c.range);
        // The streaming pins have no automation; every other pin answers CPU resources.
        bool streaming = c.communication == KSPIN_COMMUNICATION_SINK;
        EXPECT_EQ(pin.AutomationTable == nullptr, streaming);
        if (!streaming) {
            EXPECT_NE(FindProperty(pin.AutomationTable, KSPROPSETID_Audio,
                                   KSPROPERTY_AUDIO_CPU_RESOURCES),
                      nullptr);
        }
    }
}

TEST(FilterDescriptors, DataRangesAndNodes) {
    const KSDATARANGE& analog = BridgeDataRange;
    EXPECT_EQ(analog.FormatSize, sizeof(KSDATARANGE));
    EXPECT_TRUE(IsEqualGUID(analog.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(analog.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    EXPECT_TRUE(IsEqualGUID(analog.Specifier, KSDATAFORMAT_SPECIFIER_NONE));

    const KSDATARANGE_AUDIO& pcm = PcmDataRange;
    EXPECT_EQ(pcm.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(pcm.DataRange.Flags | pcm.DataRange.SampleSize | pcm.DataRange.Reserved, 0u);
    EXPECT_TRUE(IsEqualGUID(pcm.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
    EXPECT_TRUE(IsEqualGUID(pcm.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(pcm.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
    EXPECT_EQ(pcm.MaximumChannels, 8u);
    EXPECT_EQ(pcm.MinimumBitsPerSample, 8u);
    EXPECT_EQ(pcm.MaximumBitsPerSample, 32u);
    EXPECT_EQ(pcm.MinimumSampleFrequency, 8000u);
    EXPECT_EQ(pcm.MaximumSampleFrequency, 384000u);

    for (const PCFILTER_DESCRIPTOR* topology :
         {&RenderTopologyDescriptor, &CaptureTopologyDescriptor}) {
        const PCNODE_DESCRIPTOR& node = topology->Nodes[TopologyNode];
        const GUID type = {
            0xa085651e, 0x5f0d, 0x4b36, {0xa8, 0x69, 0xd1, 0x95, 0xd6, 0xab, 0x4b, 0x9e}};
        const GUID name = {
            0x57e24340, 0xfc5b, 0x4612, {0xa5, 0x62, 0x72, 0xb1, 0x1a, 0x29, 0xdf, 0xae}};
        EXPECT_TRUE(IsEqualGUID(*node.Type, type));
        EXPECT_TRUE(IsEqualGUID(*node.Name, name));
        EXPECT_NE(
            FindProperty(node.AutomationTable, KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES),
            nullptr);
    }
    EXPECT_TRUE(IsEqualGUID(*RenderWaveDescriptor.Nodes[WaveNode].Type, KSNODETYPE_DAC));
    EXPECT_TRUE(IsEqualGUID(*CaptureWaveDescriptor.Nodes[WaveNode].Type, KSNODETYPE_ADC));
    for (const PCFILTER_DESCRIPTOR* wave : {&RenderWaveDescriptor, &CaptureWaveDescriptor}) {
        EXPECT_EQ(wave->Nodes[WaveNode].Name, nullptr);
        const PCPROPERTY_ITEM* config =
            FindProperty(wave->Nodes[WaveNode].AutomationTable, KSPROPSETID_Audio,
                         KSPROPERTY_AUDIO_CHANNEL_CONFIG);
        ASSERT_NE(config, nullptr);
        EXPECT_EQ(config->Flags, 0x203u);
    }
}

TEST(FilterDescriptors, FilterAutomationItems) {
    struct Case {
        const PCFILTER_DESCRIPTOR* filter;
        const GUID* set;
        ULONG id;
        ULONG flags;
    };
    const Case properties[] = {
        {&RenderTopologyDescriptor, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, 0x201},
        {&RenderTopologyDescriptor, &KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 0x201},
        {&CaptureTopologyDescriptor, &KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, 0x201},
        {&RenderWaveDescriptor, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, 0x201},
        {&RenderWaveDescriptor, &KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, 0x203},
        {&CaptureWaveDescriptor, &KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, 0x203},
    };
    for (const Case& c : properties) {
        const PCPROPERTY_ITEM* item = FindProperty(c.filter->AutomationTable, *c.set, c.id);
        ASSERT_NE(item, nullptr) << c.id;
        EXPECT_EQ(item->Flags, c.flags) << c.id;
    }
    struct EventCase {
        const PCFILTER_DESCRIPTOR* filter;
        ULONG id;
    };
    const EventCase events[] = {
        {&RenderTopologyDescriptor, KSEVENT_PINCAPS_JACKINFOCHANGE},
        {&CaptureTopologyDescriptor, KSEVENT_PINCAPS_JACKINFOCHANGE},
        {&RenderWaveDescriptor, KSEVENT_PINCAPS_FORMATCHANGE},
        {&CaptureWaveDescriptor, KSEVENT_PINCAPS_FORMATCHANGE},
    };
    for (const EventCase& c : events) {
        const PCAUTOMATION_TABLE* table = c.filter->AutomationTable;
        ASSERT_EQ(table->EventCount, 1u);
        EXPECT_TRUE(IsEqualGUID(*table->Events[0].Set, KSEVENTSETID_PinCapsChange));
        EXPECT_EQ(table->Events[0].Id, c.id);
        EXPECT_EQ(table->Events[0].Flags, 0x201u);
    }
}

// The physical connections join a bridge pin whose signal leaves one filter to a bridge pin
// whose signal enters the other, on the same path of the system (capture or render).
TEST(FilterDescriptors, PhysicalConnectionsJoinBridgePins) {
    struct Case {
        const PCPIN_DESCRIPTOR& from;
        const PCPIN_DESCRIPTOR& to;
    };
    const Case cases[] = {
        // Render channel: the system's capture path, topology to WaveRT.
        {CaptureTopologyDescriptor.Pins[CaptureTopologyBridgePin],
         CaptureWaveDescriptor.Pins[WaveBridgePin]},
        // Capture channel: the system's render path, WaveRT to topology.
        {RenderWaveDescriptor.Pins[WaveBridgePin],
         RenderTopologyDescriptor.Pins[RenderTopologyBridgePin]},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.from.KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(c.to.KsPinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
        for (const PCPIN_DESCRIPTOR* pin : {&c.from, &c.to}) {
            EXPECT_EQ(pin->KsPinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
            EXPECT_TRUE(IsEqualGUID(pin->KsPinDescriptor.DataRanges[0]->SubFormat,
                                    KSDATAFORMAT_SUBTYPE_ANALOG));
        }
    }
}

// The constant tables spell GUID values; they must be the values the headers' symbols carry.
TEST(FilterDescriptors, SpelledGuidValuesMatchTheSymbols) {
    struct Case {
        GUID spelled;
        const GUID& symbol;
    };
    const Case cases[] = {
        {{STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)}, KSDATAFORMAT_TYPE_AUDIO},
        {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)}, KSDATAFORMAT_SUBTYPE_ANALOG},
        {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)}, KSDATAFORMAT_SUBTYPE_PCM},
        {{STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}, KSDATAFORMAT_SPECIFIER_NONE},
        {{STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
        {{STATICGUIDOF(KSCATEGORY_AUDIO)}, KSCATEGORY_AUDIO},
        {{STATICGUIDOF(KSCATEGORY_TOPOLOGY)}, KSCATEGORY_TOPOLOGY},
        {{STATICGUIDOF(KSCATEGORY_RENDER)}, KSCATEGORY_RENDER},
        {{STATICGUIDOF(KSCATEGORY_CAPTURE)}, KSCATEGORY_CAPTURE},
        {{STATICGUIDOF(KSCATEGORY_REALTIME)}, KSCATEGORY_REALTIME},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(IsEqualGUID(c.spelled, c.symbol));
    }
}

class SubdeviceNames : public HostTest {};

TEST_F(SubdeviceNames, FollowTheCaptureFlag) {
    audio_test::Direction renderChannel(true);
    audio_test::Direction captureChannel(false);
    // The Render channel's filters are the system's capture filters, and the other way round.
    audio_test::MiniportHolder<CMiniportTopology> topoC(true, &renderChannel.channel);
    audio_test::MiniportHolder<CMiniportWaveRT> waveC(true, &renderChannel.channel);
    audio_test::MiniportHolder<CMiniportTopology> topoR(false, &captureChannel.channel);
    audio_test::MiniportHolder<CMiniportWaveRT> waveR(false, &captureChannel.channel);
    EXPECT_EQ(audio_test::Utf8(topoC->subdeviceName), "topo_c");
    EXPECT_EQ(audio_test::Utf8(waveC->subdeviceName), "wave_c");
    EXPECT_EQ(audio_test::Utf8(topoR->subdeviceName), "topo_r");
    EXPECT_EQ(audio_test::Utf8(waveR->subdeviceName), "wave_r");
}

} // namespace
