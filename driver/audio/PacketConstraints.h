// The packet-size constraints each WaveRT filter declares on its interface: without them the
// audio engine holds every shared-mode application at its default period (10 ms), however
// small a period the client could follow.
#pragma once

#include "platform/AudioHeaders.h"

// The record with its one processing-mode entry (the default mode), as the interface property
// carries it.
extern const KSAUDIO_PACKETSIZE_CONSTRAINTS2 WavePacketConstraints;
