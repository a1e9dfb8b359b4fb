// What the WaveRT miniport needs of its stream objects: creation and the first format. The
// stream class itself lives with the stream's implementation.
#pragma once

#include "platform/AudioHeaders.h"

class CMiniportWaveRT;
class CMiniportWaveRTStream;
class TransportChannel;

// Creates a stream object of the direction (reference count 0) and returns its primary
// interface, which is also its IMiniportWaveRTStream. STATUS_INSUFFICIENT_RESOURCES when memory
// runs out; *stream is null on failure.
NTSTATUS CreateWaveRTStream(PMINIPORTWAVERTSTREAM* stream, bool isCapture,
                            CMiniportWaveRT* miniport, PPORTWAVERTSTREAM portStream,
                            TransportChannel* channel);

// The stream's first format (an extensible record): checks it against the device format and,
// when it matches, links the stream into the miniport. The caller holds ChannelLock.
NTSTATUS InitWaveRTStreamFormat(PMINIPORTWAVERTSTREAM stream, const WAVEFORMATEXTENSIBLE* record);
