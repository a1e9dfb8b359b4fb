// The wave format record (a WAVEFORMATEXTENSIBLE in plain or extensible layout): its checks,
// its sub-format and the builders that make records from rate, bits and channels.
#pragma once
#include "platform/AudioHeaders.h"

// Plain layout: PCM tag or no extension; only the first 18 bytes mean anything.
BOOLEAN IsPlainLayout(const WAVEFORMATEXTENSIBLE* record);
// Extensible layout: not the PCM tag and at least the 22-byte extension.
BOOLEAN IsExtensibleLayout(const WAVEFORMATEXTENSIBLE* record);

// The record's SubFormat in the extensible layout, else the tag-derived GUID. Returns subFormat.
GUID* GetSubFormat(const WAVEFORMATEXTENSIBLE* record, GUID* subFormat);

BOOLEAN HasFormatIdentity(const WAVEFORMATEXTENSIBLE* record);
BOOLEAN HasRateBitsChannels(ULONG rate, ULONG bits, ULONG channels);
BOOLEAN IsPcmOrFloat(const WAVEFORMATEXTENSIBLE* record);
BOOLEAN InRange(ULONG value, ULONG minimum, ULONG maximum);

// Internal consistency of a record, whatever its kind of samples.
BOOLEAN IsValidWaveFormat(const WAVEFORMATEXTENSIBLE* record);
// A PCM or float record within the rates, widths and channel counts that the device streams.
BOOLEAN IsSupportedStreamFormat(const WAVEFORMATEXTENSIBLE* record);

// Turns an accepted plain record into the extensible layout in place.
void MakeExtensible(WAVEFORMATEXTENSIBLE* record);

// bits are the valid bits per sample; containerBytes 0 picks the smallest container that holds
// them; channelMask 0xFFFFFFFF picks DefaultChannelMask. The record is written only on success:
// 18 bytes for the plain layout, 40 for the extensible one.
BOOLEAN BuildWaveFormat(WAVEFORMATEXTENSIBLE* record, ULONG rate, ULONG bits, ULONG channels,
                        ULONG containerBytes, ULONG channelMask, BOOLEAN forceExtensible,
                        BOOLEAN isFloat);
BOOLEAN BuildPlainWaveFormat(WAVEFORMATEXTENSIBLE* record, ULONG rate, ULONG bits, ULONG channels,
                             BOOLEAN isFloat);

const ULONG AnyChannelMask = 0xFFFFFFFF; // BuildWaveFormat: use the default mask

ULONG DefaultChannelMask(ULONG channels);
UCHAR SilenceByte(const WAVEFORMATEXTENSIBLE* record);
ULONG CountSetBits(ULONG word);
