// The constant filter descriptors: every count, index and reference is walked, and the GUIDs
// the tables spell are checked against the headers' symbols.
#include <vector>

#include "AudioTestSupport.h"
#include "audio/PropertyRoutines.h"
#include "audio/TopologyDescriptors.h"
#include "audio/WaveRTDescriptors.h"

namespace {

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

} // namespace
