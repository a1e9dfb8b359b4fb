// The constant filter descriptors of the WaveRT filters: one streaming pin that carries the
// device format, one bridge pin that the topology filter connects to, one converter node.
#pragma once

#include "platform/AudioHeaders.h"

const ULONG WaveStreamingPin = 0;
const ULONG WaveBridgePin = 1;
const ULONG WavePinCount = 2;
const ULONG WaveNode = 0;

extern const KSDATARANGE_AUDIO PcmDataRange;
extern const PCFILTER_DESCRIPTOR RenderWaveDescriptor;
extern const PCFILTER_DESCRIPTOR CaptureWaveDescriptor;
