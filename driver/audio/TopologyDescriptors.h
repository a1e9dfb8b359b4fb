// The constant filter descriptors of the topology filters: the jack end of each audio path.
#pragma once

#include "platform/AudioHeaders.h"

// The render filter's jack is its output (a speaker); the capture filter's is its input (a
// microphone). The other pin of each is the bridge that the WaveRT filter connects to.
const ULONG RenderTopologyJackPin = 0;
const ULONG RenderTopologyBridgePin = 1;
const ULONG CaptureTopologyBridgePin = 0;
const ULONG CaptureTopologyJackPin = 1;
const ULONG TopologyPinCount = 2;
const ULONG TopologyNode = 0;

inline ULONG TopologyJackPin(bool isCapture) {
    return isCapture ? CaptureTopologyJackPin : RenderTopologyJackPin;
}

extern const GUID TopologyNodeType;
extern const GUID TopologyNodeName;
extern const KSDATARANGE BridgeDataRange;
extern const PCFILTER_DESCRIPTOR RenderTopologyDescriptor;
extern const PCFILTER_DESCRIPTOR CaptureTopologyDescriptor;
