// The audio engine's side of opening a stream: which pin streams, in which format (from a data
// intersection, or from the endpoint's property store checked with the device), and the pin's
// creation with that format.
#include "AudioEngine.h"

#include <cstring>
#include <optional>
#include <vector>

#include "KsRequests.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/Registry.h"
#include "kernel/UserMode.h"

namespace host::engine {

namespace {

// Room for any data-format block the device returns: header and extensible record, with slack.
const ULONG FormatBlockCapacity = 256;

// Whether any of a pin's ranges (a KSMULTIPLE_ITEM) is audio.
bool HasAudioRange(const std::vector<std::uint8_t>& list, ULONG returned) {
    KSMULTIPLE_ITEM header;
    if (returned < sizeof(header)) {
        return false;
    }
    std::memcpy(&header, list.data(), sizeof(header));
    const ULONG end = header.Size < returned ? header.Size : returned;
    ULONG offset = sizeof(header);
    for (ULONG i = 0; i < header.Count; ++i) {
        offset = (offset + 7) & ~7u;
        KSDATARANGE range;
        if (offset > end || end - offset < sizeof(range)) {
            return false;
        }
        std::memcpy(&range, list.data() + offset, sizeof(range));
        if (IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
            IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD)) {
            return true;
        }
        if (range.FormatSize < sizeof(range)) {
            return false;
        }
        offset += range.FormatSize;
    }
    return false;
}

} // namespace

// The streaming pin is the sink pin with an audio range; its data flow gives the direction.
NTSTATUS AudioEngine::FindStreamingPin() {
    ULONG pins = 0;
    NTSTATUS status = GetProperty(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG pin = 0; pin < pins; ++pin) {
        ULONG communication = 0;
        ULONG flow = 0;
        if (!NT_SUCCESS(GetPinProperty(filter_, pin, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                       sizeof(communication))) ||
            (communication != KSPIN_COMMUNICATION_SINK &&
             communication != KSPIN_COMMUNICATION_BOTH) ||
            !NT_SUCCESS(
                GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof(flow)))) {
            continue;
        }
        ULONG needed = 0;
        GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &needed);
        if (needed < sizeof(KSMULTIPLE_ITEM)) {
            continue;
        }
        std::vector<std::uint8_t> ranges(needed);
        ULONG returned = 0;
        if (!NT_SUCCESS(GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATARANGES, ranges.data(),
                                       needed, &returned)) ||
            !HasAudioRange(ranges, returned)) {
            continue;
        }
        pinId_ = pin;
        // Data flowing into the filter's sink pin is played: the engine renders.
        capture_ = flow == KSPIN_DATAFLOW_OUT;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

// The intersection gives a format the pin accepts; the device's proposed format, when it has
// one, is the format it runs in and wins.
NTSTATUS AudioEngine::NegotiateFormat() {
    WAVEFORMATEXTENSIBLE stored{};
    if (options_.formatSource == FormatSource::EndpointStore &&
        NT_SUCCESS(FormatFromEndpointStore(&stored))) {
        format_ = stored;
        return STATUS_SUCCESS;
    }
    const std::vector<std::uint8_t> request = IntersectionRequest(pinId_, {OpenPcmRange()});
    std::vector<std::uint8_t> block(FormatBlockCapacity);
    ULONG returned = 0;
    NTSTATUS status = SendProperty(filter_, request.data(), static_cast<ULONG>(request.size()),
                                   block.data(), FormatBlockCapacity, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WAVEFORMATEXTENSIBLE format;
    status = ReadWaveFormat(block.data(), returned, &format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<std::uint8_t> proposed(FormatBlockCapacity);
    returned = 0;
    if (NT_SUCCESS(GetPinProperty(filter_, pinId_, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                  proposed.data(), FormatBlockCapacity, &returned))) {
        WAVEFORMATEXTENSIBLE preferred;
        if (NT_SUCCESS(ReadWaveFormat(proposed.data(), returned, &preferred))) {
            format = preferred;
        }
    }
    format_ = format;
    return STATUS_SUCCESS;
}

// The format Windows keeps for the endpoint whose filter this is. A proposed-format set only
// answers whether the device would take it; nothing is stored by it.
NTSTATUS AudioEngine::FormatFromEndpointStore(WAVEFORMATEXTENSIBLE* format) {
    const std::u16string tail = u"\\" + options_.filterName;
    for (const host::AudioEndpoint& endpoint : host::ListAudioEndpoints()) {
        const std::optional<host::RegistryValue> filter =
            host::ReadRegistryValue(endpoint.propertiesPath, host::EndpointFilterProperty);
        if (!filter || filter->type != REG_SZ) {
            continue;
        }
        std::u16string path(reinterpret_cast<const char16_t*>(filter->data.data()),
                            filter->data.size() / sizeof(char16_t));
        path = path.substr(0, path.find(u'\0'));
        if (path.size() < tail.size() ||
            path.compare(path.size() - tail.size(), tail.size(), tail) != 0) {
            continue;
        }
        const std::optional<host::EndpointDeviceFormat> stored =
            host::ReadEndpointDeviceFormat(endpoint);
        if (!stored || !stored->wellFormed) {
            return STATUS_NOT_FOUND;
        }
        WAVEFORMATEXTENSIBLE record{};
        record.Format = {stored->formatTag,        stored->channels,
                         stored->samplesPerSecond, stored->averageBytesPerSecond,
                         stored->blockAlign,       stored->bitsPerSample,
                         stored->extensionSize};
        record.Samples.wValidBitsPerSample = stored->validBitsPerSample;
        record.dwChannelMask = stored->channelMask;
        std::memcpy(&record.SubFormat, stored->subFormat, sizeof(record.SubFormat));
        KSP_PIN request{};
        request.Property =
            MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET);
        request.PinId = pinId_;
        PinDataFormat proposal = MakePinDataFormat(record);
        const NTSTATUS status =
            SendProperty(filter_, &request, sizeof(request), &proposal, sizeof(proposal));
        if (NT_SUCCESS(status)) {
            *format = record;
        }
        return status;
    }
    return STATUS_NOT_FOUND;
}

// A cyclic buffer is looped streaming; a pin that lists no interfaces may offer only the plain
// standard one, and says so with STATUS_NO_MATCH.
NTSTATUS AudioEngine::CreatePin() {
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG interfaceId :
         {ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING), ULONG(KSINTERFACE_STANDARD_STREAMING)}) {
        HANDLE pin =
            host::user::CreateFileRelative(filter_, PinCreateName(pinId_, format_, interfaceId));
        if (pin != INVALID_HANDLE_VALUE) {
            pin_ = pin;
            return STATUS_SUCCESS;
        }
        status = host::user::LastStatus();
        if (status != STATUS_NO_MATCH) {
            break;
        }
    }
    return status;
}

} // namespace host::engine
