// Every limit of the formats the driver checks or advertises, in one place: the device formats a
// client may choose (which the WaveRT filters' data range advertises), the wider stream formats
// the stream-format check lets through to be matched against the device format, and the
// channel-mask bits that name speakers.
#pragma once
#include "platform/KernelHeaders.h"

// A device format, both ends included.
constexpr ULONG DeviceMinimumSampleRate = 8000;
constexpr ULONG DeviceMaximumSampleRate = 384000;
constexpr ULONG DeviceMinimumBits = 8; // valid bits per sample
constexpr ULONG DeviceMaximumBits = 32;
constexpr ULONG DeviceMaximumChannels = 8;
constexpr ULONG DeviceMaximumContainerBytes = 4;
// The largest frame a device format makes.
constexpr ULONG DeviceLargestFrameBytes = DeviceMaximumChannels * DeviceMaximumContainerBytes;

// A stream format before it is matched against the device format, both ends included.
constexpr ULONG StreamMinimumSampleRate = 1000;
constexpr ULONG StreamMaximumSampleRate = DeviceMaximumSampleRate;
constexpr ULONG StreamMinimumBits = 8; // container and valid bits
constexpr ULONG StreamMaximumBits = 32;
constexpr ULONG StreamMaximumChannels = 32;

// Channel masks: bits 0 to 17 are speaker positions (front left to top back right) and bit 31
// is "all speakers"; bits 18 to 30 name nothing. The device format accepts the "all speakers"
// bit; the WaveRT node's channel configuration takes speaker positions only.
constexpr ULONG SpeakerPositionBits = 0x0003FFFF;
constexpr ULONG AllSpeakersBit = 0x80000000;
constexpr ULONG UnassignedSpeakerBits = ~(SpeakerPositionBits | AllSpeakersBit);
static_assert(UnassignedSpeakerBits == 0x7FFC0000, "bits 18 to 30 name no speaker");
