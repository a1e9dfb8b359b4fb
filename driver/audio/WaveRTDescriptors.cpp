// The WaveRT filters' tables, built bottom-up: data ranges, automation, pins, node,
// connections, categories, filter descriptors. Signal flows from the streaming pin to the
// bridge pin in the render filter and back in the capture filter.
#include "audio/WaveRTDescriptors.h"

#include "audio/ConstantGuid.h"
#include "audio/MiniportWaveRT.h"
#include "audio/PropertyRoutines.h"
#include "audio/TopologyDescriptors.h"
#include "support/FormatLimits.h"

const KSDATARANGE_AUDIO PcmDataRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, ConstantGuid(STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)),
      ConstantGuid(STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)),
      ConstantGuid(STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))}},
    DeviceMaximumChannels,
    DeviceMinimumBits,
    DeviceMaximumBits,
    DeviceMinimumSampleRate,
    DeviceMaximumSampleRate};

namespace {

const PKSDATARANGE StreamingDataRanges[] = {
    const_cast<PKSDATARANGE>(&PcmDataRange.DataRange),
};
// The analog range of the bridge pins is the topology filters' bridge range.
const PKSDATARANGE BridgeDataRanges[] = {const_cast<PKSDATARANGE>(&BridgeDataRange)};

const PCPROPERTY_ITEM WaveFilterProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, CpuResourcesHandler},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     ProposedFormatHandler},
};
const PCEVENT_ITEM WaveFilterEvents[] = {
    {&KSEVENTSETID_PinCapsChange, KSEVENT_PINCAPS_FORMATCHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, FormatChangeEventHandler},
};
// Spelled out: not every toolchain's port-class header has the macro for properties with events.
const PCAUTOMATION_TABLE WaveFilterAutomation = {sizeof(PCPROPERTY_ITEM),
                                                 RTL_NUMBER_OF(WaveFilterProperties),
                                                 WaveFilterProperties,
                                                 sizeof(PCMETHOD_ITEM),
                                                 0,
                                                 nullptr,
                                                 sizeof(PCEVENT_ITEM),
                                                 RTL_NUMBER_OF(WaveFilterEvents),
                                                 WaveFilterEvents,
                                                 0};

const PCPROPERTY_ITEM WaveNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     ChannelConfigHandler},
};
DEFINE_PCAUTOMATION_TABLE_PROP(WaveNodeAutomation, WaveNodeProperties);

constexpr PCPIN_DESCRIPTOR StreamingPin(KSPIN_DATAFLOW dataFlow, const GUID* category) {
    return {1,
            1,
            0,
            nullptr,
            {0,
             nullptr,
             0,
             nullptr,
             RTL_NUMBER_OF(StreamingDataRanges),
             StreamingDataRanges,
             dataFlow,
             KSPIN_COMMUNICATION_SINK,
             category,
             nullptr,
             {0}}};
}

constexpr PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW dataFlow) {
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
             &KSCATEGORY_AUDIO,
             nullptr,
             {0}}};
}

const PCPIN_DESCRIPTOR RenderWavePins[] = {
    StreamingPin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO),
    BridgePin(KSPIN_DATAFLOW_OUT),
};
const PCPIN_DESCRIPTOR CaptureWavePins[] = {
    StreamingPin(KSPIN_DATAFLOW_OUT, &PINNAME_CAPTURE),
    BridgePin(KSPIN_DATAFLOW_IN),
};
static_assert(WaveStreamingPin == 0 && WaveBridgePin == 1, "pin 0 streams, pin 1 bridges");
static_assert(RTL_NUMBER_OF(RenderWavePins) == WavePinCount, "two WaveRT pins");
static_assert(RTL_NUMBER_OF(CaptureWavePins) == WavePinCount, "two WaveRT pins");

const PCNODE_DESCRIPTOR RenderWaveNodes[] = {
    {0, &WaveNodeAutomation, &KSNODETYPE_DAC, nullptr},
};
const PCNODE_DESCRIPTOR CaptureWaveNodes[] = {
    {0, &WaveNodeAutomation, &KSNODETYPE_ADC, nullptr},
};
static_assert(WaveNode == 0 && RTL_NUMBER_OF(RenderWaveNodes) == 1 &&
                  RTL_NUMBER_OF(CaptureWaveNodes) == 1,
              "one node, node 0");

const PCCONNECTION_DESCRIPTOR RenderWaveConnections[] = {
    {PCFILTER_NODE, WaveStreamingPin, WaveNode, KSNODEPIN_STANDARD_IN},
    {WaveNode, KSNODEPIN_STANDARD_OUT, PCFILTER_NODE, WaveBridgePin},
};
const PCCONNECTION_DESCRIPTOR CaptureWaveConnections[] = {
    {PCFILTER_NODE, WaveBridgePin, WaveNode, KSNODEPIN_STANDARD_IN},
    {WaveNode, KSNODEPIN_STANDARD_OUT, PCFILTER_NODE, WaveStreamingPin},
};
static_assert(RTL_NUMBER_OF(RenderWaveConnections) == RTL_NUMBER_OF(CaptureWaveConnections),
              "both filters have the same shape");

const GUID RenderWaveCategories[] = {
    ConstantGuid(STATICGUIDOF(KSCATEGORY_AUDIO)),
    ConstantGuid(STATICGUIDOF(KSCATEGORY_RENDER)),
    ConstantGuid(STATICGUIDOF(KSCATEGORY_REALTIME)),
};
const GUID CaptureWaveCategories[] = {
    ConstantGuid(STATICGUIDOF(KSCATEGORY_AUDIO)),
    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),
    ConstantGuid(STATICGUIDOF(KSCATEGORY_REALTIME)),
};
static_assert(RTL_NUMBER_OF(RenderWaveCategories) == RTL_NUMBER_OF(CaptureWaveCategories),
              "three categories each");

constexpr PCFILTER_DESCRIPTOR WaveFilter(const PCPIN_DESCRIPTOR* pins,
                                         const PCNODE_DESCRIPTOR* nodes,
                                         const PCCONNECTION_DESCRIPTOR* connections,
                                         const GUID* categories) {
    return {0,
            &WaveFilterAutomation,
            sizeof(PCPIN_DESCRIPTOR),
            WavePinCount,
            pins,
            sizeof(PCNODE_DESCRIPTOR),
            1,
            nodes,
            RTL_NUMBER_OF(RenderWaveConnections),
            connections,
            RTL_NUMBER_OF(RenderWaveCategories),
            categories};
}

} // namespace

const PCFILTER_DESCRIPTOR RenderWaveDescriptor =
    WaveFilter(RenderWavePins, RenderWaveNodes, RenderWaveConnections, RenderWaveCategories);
const PCFILTER_DESCRIPTOR CaptureWaveDescriptor =
    WaveFilter(CaptureWavePins, CaptureWaveNodes, CaptureWaveConnections, CaptureWaveCategories);
