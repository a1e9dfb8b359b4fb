// The kernel-streaming requests the audio engine sends, as plain functions: property calls on a
// filter or pin handle in the current process, the pin-create name and the data formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ntddk.h>

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

namespace host::engine {

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags);

// Sends IOCTL_KS_PROPERTY with request (the KSPROPERTY and its instance) and value; returns the
// final status and, when returned is given, the bytes the driver reported.
NTSTATUS SendProperty(HANDLE handle, const void* request, ULONG requestBytes, void* value,
                      ULONG valueBytes, ULONG* returned = nullptr);

template <class Value>
NTSTATUS GetProperty(HANDLE handle, const GUID& set, ULONG id, Value* value) {
    const KSPROPERTY property = MakeProperty(set, id, KSPROPERTY_TYPE_GET);
    return SendProperty(handle, &property, sizeof(property), value, sizeof(*value));
}

// The path of the enabled audio filter registered under referenceString ("wave_r"): the
// KSCATEGORY_AUDIO interface whose path ends in "\referenceString"; empty when there is none.
std::u16string FindFilterPath(const std::u16string& referenceString);

// Registers (add) or unregisters a notification event with a WaveRT pin.
NTSTATUS SetNotificationEvent(HANDLE pin, HANDLE event, bool add);

// A pin property of a filter (KSP_PIN instance).
NTSTATUS GetPinProperty(HANDLE filter, ULONG pinId, ULONG id, void* value, ULONG valueBytes,
                        ULONG* returned = nullptr);

// The range the engine offers in a data intersection: PCM audio with every rate, width and
// channel count allowed, so the device's own format comes back.
KSDATARANGE_AUDIO OpenPcmRange();

// The request of a data intersection for pinId offering ranges in one KSMULTIPLE_ITEM.
std::vector<std::uint8_t> IntersectionRequest(ULONG pinId,
                                              const std::vector<KSDATARANGE_AUDIO>& ranges);

// Reads a KSDATAFORMAT_WAVEFORMATEX(TENSIBLE) block of `bytes` bytes into the extensible
// layout: a plain PCM or float record gets its extension (valid bits = container bits, the
// lowest nChannels speaker bits). STATUS_NO_MATCH for a block that is not usable audio.
NTSTATUS ReadWaveFormat(const std::uint8_t* block, ULONG bytes, WAVEFORMATEXTENSIBLE* format);

// The data format a pin create carries: KSDATAFORMAT header and the extensible record.
struct PinDataFormat {
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE wave;
};
PinDataFormat MakePinDataFormat(const WAVEFORMATEXTENSIBLE& format);

// "{KSNAME_Pin}\" followed by the KSPIN_CONNECT for pinId (standard interface set, looped
// streaming unless another interface is given) and the data format, the bytes packed into
// 16-bit units (a pad byte when their count is odd).
std::u16string PinCreateName(ULONG pinId, const WAVEFORMATEXTENSIBLE& format,
                             ULONG interfaceId = KSINTERFACE_STANDARD_LOOPED_STREAMING);

} // namespace host::engine
