// The constant packet-size constraints of the WaveRT filters, and why they are what they are.
#include "audio/PacketConstraints.h"

#include "audio/ConstantGuid.h"
#include "transport/TransportProtocol.h"

namespace {

const ULONGLONG HnsPerSecond = 10000000;

// The shortest period, in 100-ns units (see MinPacketPeriodInHns below): 128 frames at 48 kHz
// exactly, since the engine rounds up to whole frames and 26,667 would make it 129.
const ULONG WaveMinimumPeriodHns = 26666;

// The largest format the client may choose (its format request's limits): 384 kHz, 8 channels
// of 4-byte containers.
const ULONGLONG LargestRate = 384000;
const ULONGLONG LargestFrameBytes = 8 * 4;

// The engine's buffer holds two packets and is a view of the data buffer, so no packet is
// larger than half of it: 262,144 bytes, 21 ms at the largest format.
const ULONG MaximumPacketBytes = transport::DataBufferSize / 2;

static_assert(MaximumPacketBytes * 100ull >= LargestRate * LargestFrameBytes,
              "a packet must hold 10 ms of the largest format");
static_assert(WaveMinimumPeriodHns * 48000ull <= 128 * HnsPerSecond,
              "the declared period is 128 frames at 48 kHz or less");

} // namespace

// MinPacketPeriodInHns: nothing in the driver works per period but the tick (the client's
// request, the worker's wake-up, the position update and the engine's event), and with two
// periods per buffer one period is all that path may take. Measured tick p99, unpinned, on a
// busy machine: at worst 260 us; times 10 for the tail and the hops around it, 2.6 ms; rounded
// up to 128 frames at 48 kHz. docs/performance.md gives the measurements.
//
// PacketSizeFileAlignment: a packet is a whole number of frames, and frames of 3 or 9 bytes
// make every coarser alignment false for some format the client may choose.
//
// The default mode's processing packet is the period itself: the driver processes nothing, so
// the engine may use any period of at least the minimum.
const KSAUDIO_PACKETSIZE_CONSTRAINTS2 WavePacketConstraints = {
    WaveMinimumPeriodHns,
    FILE_BYTE_ALIGNMENT,
    MaximumPacketBytes,
    1,
    {{ConstantGuid(STATICGUIDOF(AUDIO_SIGNALPROCESSINGMODE_DEFAULT)), 0, WaveMinimumPeriodHns}},
};
