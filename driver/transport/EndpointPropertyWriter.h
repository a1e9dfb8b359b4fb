// Writes a channel's device format into the property store of every system audio endpoint that
// its WaveRT filter serves, so the audio service opens the endpoint in the format the client set.
#pragma once
#include "platform/KernelHeaders.h"

// Size of the serialised device-format value: a VT_BLOB header and a WAVEFORMATEXTENSIBLE.
const ULONG EndpointFormatValueBytes = 48;
// Text capacities in UTF-16 units, terminator included.
const ULONG EndpointNameCapacity = 256;

// Copies the device instance id out of an interface symbolic link name
// ("\??\ROOT#MEDIA#0000#{class}" gives "ROOT#MEDIA#0000"). STATUS_INVALID_PARAMETER when the
// name is not of that shape, the id is shorter than 10 units or does not fit capacity with its
// terminator; the destination is written only on success.
NTSTATUS ExtractInstanceId(PWSTR destination, ULONG capacity, PCWSTR symbolicLinkName);

// ZwOpenKey of path below parent (or absolute when parent is null) as a case-insensitive kernel
// handle.
NTSTATUS OpenRegistryKey(PHANDLE key, HANDLE parent, PCWSTR path, ACCESS_MASK access);
// Reads a value of up to 516 bytes; on success sets type and copies min(*length, data length)
// bytes to buffer, leaving the copied count in *length.
NTSTATUS QueryRegistryValue(HANDLE key, PCWSTR name, PULONG type, PVOID buffer, PULONG length);
NTSTATUS SetRegistryValue(HANDLE key, PCWSTR name, ULONG type, const VOID* data, ULONG length);

// The serialised value for a channel format; FALSE, with value untouched, when BuildWaveFormat
// refuses the format.
BOOLEAN BuildEndpointFormatValue(UCHAR* value, ULONG sampleRate, ULONG bitsPerSample,
                                 ULONG channels, ULONG containerBytes, ULONG channelMask);

// Writes the format to every endpoint under the Capture root (isCapture) or the Render root
// whose filter property names this adapter's instance and, after it, "\" and subdeviceName.
// Runs at PASSIVE_LEVEL; every key it opens is closed before it returns.
NTSTATUS WriteEndpointFormatFor(PCUNICODE_STRING interfaceLinkName, BOOLEAN isCapture,
                                PCWSTR subdeviceName, ULONG sampleRate, ULONG bitsPerSample,
                                ULONG channels, ULONG containerBytes, ULONG channelMask);
