// The topology filters' tables, built bottom-up: data range, automation, pins, node,
// connections, categories, filter descriptors. Only the jack-facing pin differs by direction.
#include "audio/TopologyDescriptors.h"

#include "audio/ConstantGuid.h"
#include "audio/MiniportTopology.h"
#include "audio/PropertyRoutines.h"

// The node's own type, and the name under which the audio stack looks up its friendly name.
const GUID TopologyNodeType = {
    0xa085651e, 0x5f0d, 0x4b36, {0xa8, 0x69, 0xd1, 0x95, 0xd6, 0xab, 0x4b, 0x9e}};
const GUID TopologyNodeName = {
    0x57e24340, 0xfc5b, 0x4612, {0xa5, 0x62, 0x72, 0xb1, 0x1a, 0x29, 0xdf, 0xae}};

const KSDATARANGE BridgeDataRange = {{sizeof(KSDATARANGE), 0, 0, 0,
                                      ConstantGuid(STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)),
                                      ConstantGuid(STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)),
                                      ConstantGuid(STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE))}};

namespace {

const PKSDATARANGE BridgeDataRanges[] = {const_cast<PKSDATARANGE>(&BridgeDataRange)};

const PCPROPERTY_ITEM TopologyFilterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, CpuResourcesHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, JackDescriptionHandler},
};

const PCEVENT_ITEM TopologyFilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_JACKINFOCHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, JackEventHandler},
};

// Spelled out: not every toolchain's port-class header has the macro for properties with events.
const PCAUTOMATION_TABLE TopologyFilterAutomation = {sizeof(PCPROPERTY_ITEM),
                                                     RTL_NUMBER_OF(TopologyFilterProperties),
                                                     TopologyFilterProperties,
                                                     sizeof(PCMETHOD_ITEM),
                                                     0,
                                                     nullptr,
                                                     sizeof(PCEVENT_ITEM),
                                                     RTL_NUMBER_OF(TopologyFilterEvents),
                                                     TopologyFilterEvents,
                                                     0};

constexpr PCPIN_DESCRIPTOR TopologyPin(KSPIN_DATAFLOW dataFlow, const GUID* category) {
    return {0,
            0,
            0,
            &CpuResourcesAutomationTable,
            {0,
             nullptr,
             0,
             nullptr,
             RTL_NUMBER_OF(BridgeDataRanges),
             BridgeDataRanges,
             dataFlow,
             KSPIN_COMMUNICATION_NONE,
             category,
             nullptr,
             {0}}};
}

const PCPIN_DESCRIPTOR RenderTopologyPins[] = {
    TopologyPin(KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER), // the jack
    TopologyPin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO),    // bridge from the WaveRT filter
};
const PCPIN_DESCRIPTOR CaptureTopologyPins[] = {
    TopologyPin(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO),     // bridge to the WaveRT filter
    TopologyPin(KSPIN_DATAFLOW_IN, &KSNODETYPE_MICROPHONE), // the jack
};
static_assert(RTL_NUMBER_OF(RenderTopologyPins) == TopologyPinCount, "two topology pins");
static_assert(RTL_NUMBER_OF(CaptureTopologyPins) == TopologyPinCount, "two topology pins");
static_assert(RenderTopologyJackPin < TopologyPinCount && CaptureTopologyJackPin < TopologyPinCount,
              "the jack pins exist");
static_assert(RenderTopologyJackPin != RenderTopologyBridgePin &&
                  CaptureTopologyJackPin != CaptureTopologyBridgePin,
              "jack and bridge are different pins");

const PCNODE_DESCRIPTOR TopologyNodes[] = {
    {0, &CpuResourcesAutomationTable, &TopologyNodeType, &TopologyNodeName},
};
static_assert(TopologyNode == 0 && RTL_NUMBER_OF(TopologyNodes) == 1, "one node, node 0");

// Signal runs from pin 1 through the node to pin 0 in both filters.
const PCCONNECTION_DESCRIPTOR TopologyConnections[] = {
    {PCFILTER_NODE, 1, TopologyNode, KSNODEPIN_STANDARD_IN},
    {TopologyNode, KSNODEPIN_STANDARD_OUT, PCFILTER_NODE, 0},
};

const GUID TopologyCategories[] = {
    ConstantGuid(STATICGUIDOF(KSCATEGORY_AUDIO)),
    ConstantGuid(STATICGUIDOF(KSCATEGORY_TOPOLOGY)),
};

constexpr PCFILTER_DESCRIPTOR TopologyFilter(const PCPIN_DESCRIPTOR* pins) {
    return {0,
            &TopologyFilterAutomation,
            sizeof(PCPIN_DESCRIPTOR),
            TopologyPinCount,
            pins,
            sizeof(PCNODE_DESCRIPTOR),
            RTL_NUMBER_OF(TopologyNodes),
            TopologyNodes,
            RTL_NUMBER_OF(TopologyConnections),
            TopologyConnections,
            RTL_NUMBER_OF(TopologyCategories),
            TopologyCategories};
}

} // namespace

const PCFILTER_DESCRIPTOR RenderTopologyDescriptor = TopologyFilter(RenderTopologyPins);
const PCFILTER_DESCRIPTOR CaptureTopologyDescriptor = TopologyFilter(CaptureTopologyPins);
