// Property calls, data ranges, formats and the pin-create name of the audio engine.
#include "KsRequests.h"

#include <cstring>

#include "kernel/UserMode.h"

namespace host::engine {

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

NTSTATUS SendProperty(HANDLE handle, const void* request, ULONG requestBytes, void* value,
                      ULONG valueBytes, ULONG* returned) {
    ULONG bytes = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::user::DeviceIoControl(handle, IOCTL_KS_PROPERTY, request, requestBytes, value, valueBytes,
                                &bytes, &status);
    if (returned != nullptr) {
        *returned = bytes;
    }
    return status;
}

std::u16string FindFilterPath(const std::u16string& referenceString) {
    if (referenceString.empty()) {
        return std::u16string();
    }
    const std::u16string tail = u"\\" + referenceString;
    for (const std::u16string& path : host::user::GetDeviceInterfacePaths(KSCATEGORY_AUDIO)) {
        if (path.size() > tail.size() &&
            path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
            return path;
        }
    }
    return std::u16string();
}

NTSTATUS SetNotificationEvent(HANDLE pin, HANDLE event, bool add) {
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property = MakeProperty(KSPROPSETID_RtAudio,
                                    add ? KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT
                                        : KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT,
                                    KSPROPERTY_TYPE_GET);
    request.NotificationEvent = event;
    return SendProperty(pin, &request, sizeof(request), nullptr, 0);
}

NTSTATUS GetPinProperty(HANDLE filter, ULONG pinId, ULONG id, void* value, ULONG valueBytes,
                        ULONG* returned) {
    KSP_PIN request{};
    request.Property = MakeProperty(KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET);
    request.PinId = pinId;
    return SendProperty(filter, &request, sizeof(request), value, valueBytes, returned);
}

KSDATARANGE_AUDIO OpenPcmRange() {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 0xFFFFFFFF;
    range.MinimumBitsPerSample = 1;
    range.MaximumBitsPerSample = 0xFFFFFFFF;
    range.MinimumSampleFrequency = 1;
    range.MaximumSampleFrequency = 0xFFFFFFFF;
    return range;
}

std::vector<std::uint8_t> IntersectionRequest(ULONG pinId,
                                              const std::vector<KSDATARANGE_AUDIO>& ranges) {
    KSP_PIN pin{};
    pin.Property =
        MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
    pin.PinId = pinId;
    // Each range is 88 bytes, a multiple of 8, so the ranges need no padding between them.
    const KSMULTIPLE_ITEM header{
        static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE_AUDIO)),
        static_cast<ULONG>(ranges.size())};
    std::vector<std::uint8_t> request(sizeof(pin) + header.Size);
    std::memcpy(request.data(), &pin, sizeof(pin));
    std::memcpy(request.data() + sizeof(pin), &header, sizeof(header));
    std::uint8_t* at = request.data() + sizeof(pin) + sizeof(header);
    for (const KSDATARANGE_AUDIO& range : ranges) {
        std::memcpy(at, &range, sizeof(range));
        at += sizeof(range);
    }
    return request;
}

NTSTATUS ReadWaveFormat(const std::uint8_t* block, ULONG bytes, WAVEFORMATEXTENSIBLE* format) {
    // A plain PCM record may be the 16-byte form without cbSize.
    const ULONG shortestWave = 16;
    KSDATAFORMAT header;
    if (bytes < sizeof(header) + shortestWave) {
        return STATUS_NO_MATCH;
    }
    std::memcpy(&header, block, sizeof(header));
    if (header.FormatSize < sizeof(header) + shortestWave || header.FormatSize > bytes ||
        !IsEqualGUID(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return STATUS_NO_MATCH;
    }
    const ULONG waveBytes = header.FormatSize - sizeof(header);
    WAVEFORMATEXTENSIBLE record{};
    std::memcpy(&record, block + sizeof(header),
                waveBytes < sizeof(record) ? waveBytes : sizeof(record));
    if (waveBytes < sizeof(WAVEFORMATEX)) {
        record.Format.cbSize = 0;
    }
    WAVEFORMATEX& wave = record.Format;
    if (wave.nChannels == 0 || wave.nSamplesPerSec == 0 || wave.wBitsPerSample == 0 ||
        wave.nBlockAlign == 0 || wave.nChannels > 32) {
        return STATUS_NO_MATCH;
    }
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (waveBytes < sizeof(record) || wave.cbSize < sizeof(record) - sizeof(WAVEFORMATEX)) {
            return STATUS_NO_MATCH;
        }
    } else if (wave.wFormatTag == WAVE_FORMAT_PCM || wave.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        record.SubFormat = wave.wFormatTag == WAVE_FORMAT_PCM ? KSDATAFORMAT_SUBTYPE_PCM
                                                              : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        record.Samples.wValidBitsPerSample = wave.wBitsPerSample;
        record.dwChannelMask = 0xFFFFFFFFu >> (32 - wave.nChannels);
        wave.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        wave.cbSize = sizeof(record) - sizeof(WAVEFORMATEX);
    } else {
        return STATUS_NO_MATCH;
    }
    *format = record;
    return STATUS_SUCCESS;
}

PinDataFormat MakePinDataFormat(const WAVEFORMATEXTENSIBLE& format) {
    PinDataFormat block{};
    block.header.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
    block.header.SampleSize = format.Format.nBlockAlign;
    block.header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    block.header.SubFormat = format.SubFormat;
    block.header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    block.wave = format;
    return block;
}

std::u16string PinCreateName(ULONG pinId, const WAVEFORMATEXTENSIBLE& format, ULONG interfaceId) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = interfaceId;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    const PinDataFormat block = MakePinDataFormat(format);

    const size_t formatBytes = sizeof(block.header) + sizeof(block.wave);
    std::vector<std::uint8_t> bytes(sizeof(connect) + formatBytes);
    std::memcpy(bytes.data(), &connect, sizeof(connect));
    std::memcpy(bytes.data() + sizeof(connect), &block.header, sizeof(block.header));
    std::memcpy(bytes.data() + sizeof(connect) + sizeof(block.header), &block.wave,
                sizeof(block.wave));
    if (bytes.size() % 2 != 0) {
        bytes.push_back(0);
    }
    const auto* prefix = reinterpret_cast<const char16_t*>(KSSTRING_Pin);
    std::u16string name(prefix);
    name += u'\\';
    const size_t start = name.size();
    name.resize(start + bytes.size() / 2);
    std::memcpy(&name[start], bytes.data(), bytes.size());
    return name;
}

} // namespace host::engine
