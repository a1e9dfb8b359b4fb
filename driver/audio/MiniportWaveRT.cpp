// The WaveRT miniport object: its identity, description, data-range intersection, device
// description and stream creation.
#include "audio/MiniportWaveRT.h"

#include "audio/MiniportWaveRTStream.h"
#include "audio/WaveRTDescriptors.h"
#include "support/DataFormat.h"
#include "support/StringFormatter.h"
#include "support/WaveFormat.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

const ULONG AllNodes = 0xFFFFFFFF;
// The size of a PCM wave format without its cbSize word.
const ULONG PcmWaveFormatBytes = 16;

bool IsPcmRange(const KSDATARANGE* range) {
    return IsEqualGUID(range->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           IsEqualGUID(range->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) &&
           (IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
            IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND));
}

} // namespace

CMiniportWaveRT::CMiniportWaveRT(bool isCapture, TransportChannel* channel)
    : UnknownBase(nullptr), channel(channel), isCapture(isCapture), subdeviceName{}, port(nullptr),
      portEvents(nullptr), currentStream(nullptr), packetConstraintsStatus(STATUS_UNSUCCESSFUL) {
    PrintString(subdeviceName, SubdeviceNameCapacity, L"%s%s", L"wave", isCapture ? L"_c" : L"_r");
}

CMiniportWaveRT::~CMiniportWaveRT() {
    if (portEvents != nullptr) {
        portEvents->Release();
        portEvents = nullptr;
    }
    if (port != nullptr) {
        port->Release();
        port = nullptr;
    }
}

NTSTATUS NTAPI CMiniportWaveRT::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    PUNKNOWN chosen = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
        IsEqualGUID(iid, IID_IMiniportWaveRT)) {
        chosen = MiniportInterface();
    } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
        chosen = static_cast<IPowerNotify*>(this);
    }
    return AnswerInterface(chosen, object);
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    // The port only reads the table; the interface's type predates const.
    *description = const_cast<PPCFILTER_DESCRIPTOR>(isCapture ? &CaptureWaveDescriptor
                                                              : &RenderWaveDescriptor);
    return STATUS_SUCCESS;
}

// Reads the channel's format without ChannelLock: a format changing meanwhile may be seen half
// applied, and the audio stack renegotiates after the format-change event anyway.
STDMETHODIMP_(NTSTATUS)
CMiniportWaveRT::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                       PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                       PVOID resultantFormat, PULONG resultantFormatLength) {
    UNREFERENCED_PARAMETER(matchingDataRange);
    if (pinId != WaveStreamingPin) {
        return STATUS_NO_MATCH; // the bridge pin carries no stream, so no format of ours
    }
    if (outputBufferLength == 0) {
        *resultantFormatLength = DataFormatBlockBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputBufferLength < DataFormatBlockBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // A range too short to hold the audio limits is not read past its end.
    if (dataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) || !IsPcmRange(dataRange)) {
        return STATUS_NO_MATCH;
    }
    const KSDATARANGE_AUDIO* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(dataRange);
    const DeviceFormat format = channel->currentFormat;
    if (!InRange(format.SampleRate, range->MinimumSampleFrequency, range->MaximumSampleFrequency) ||
        !InRange(format.BitsPerSample, range->MinimumBitsPerSample, range->MaximumBitsPerSample) ||
        format.Channels > range->MaximumChannels) {
        return STATUS_NO_MATCH;
    }
    WAVEFORMATEXTENSIBLE record;
    RtlZeroMemory(&record, sizeof(record));
    if (!BuildWaveFormat(&record, format.SampleRate, format.BitsPerSample, format.Channels,
                         format.ContainerBytes, format.ChannelMask, FALSE, FALSE)) {
        return STATUS_NO_MATCH; // a device format the builder refuses is offered to nobody
    }
    bool extensible = IsExtensibleLayout(&record) != FALSE;
    ULONG waveBytes = sizeof(WAVEFORMATEX) + record.Format.cbSize;

    KSDATAFORMAT header;
    RtlZeroMemory(&header, sizeof(header));
    header.FormatSize =
        sizeof(KSDATAFORMAT) +
        (record.Format.wFormatTag == WAVE_FORMAT_PCM ? PcmWaveFormatBytes : waveBytes);
    header.SampleSize = record.Format.nBlockAlign;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = extensible ? record.SubFormat : KSDATAFORMAT_SUBTYPE_PCM;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

    // The reported length is the whole block, so every byte of it is written.
    PUCHAR output = static_cast<PUCHAR>(resultantFormat);
    RtlZeroMemory(output, DataFormatBlockBytes);
    RtlCopyMemory(output, &header, sizeof(header));
    RtlCopyMemory(output + sizeof(header), &record, waveBytes);
    *resultantFormatLength = DataFormatBlockBytes;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRT::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVERT port) {
    UNREFERENCED_PARAMETER(unknownAdapter);
    UNREFERENCED_PARAMETER(resourceList);
    this->port = port;
    port->AddRef();
    NTSTATUS status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&portEvents));
    if (!NT_SUCCESS(status)) {
        portEvents = nullptr; // without it no format change reaches the audio stack: Init fails
    }
    return status;
}

STDMETHODIMP_(NTSTATUS)
CMiniportWaveRT::NewStream(PMINIPORTWAVERTSTREAM* stream, PPORTWAVERTSTREAM portStream, ULONG pin,
                           BOOLEAN capture, PKSDATAFORMAT dataFormat) {
    UNREFERENCED_PARAMETER(pin);
    UNREFERENCED_PARAMETER(capture);
    *stream = nullptr;
    channel->ChannelLock.Lock();
    NTSTATUS status = STATUS_SUCCESS;
    WAVEFORMATEXTENSIBLE record;
    RtlZeroMemory(&record, sizeof(record));
    PMINIPORTWAVERTSTREAM created = nullptr;

    if (currentStream != nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES; // one stream per direction
    } else {
        status = CheckClientConnected(channel);
    }
    if (NT_SUCCESS(status)) {
        status = ValidateKsDataFormat(&record, dataFormat, 0, nullptr, nullptr);
    }
    if (NT_SUCCESS(status) && !IsSupportedStreamFormat(&record)) {
        status = STATUS_NO_MATCH;
    }
    if (NT_SUCCESS(status)) {
        if (!IsExtensibleLayout(&record)) {
            MakeExtensible(&record);
        }
        status = CreateWaveRTStream(&created, isCapture, this, portStream, channel);
    }
    if (NT_SUCCESS(status)) {
        created->AddRef(); // the creation reference
        status = InitWaveRTStreamFormat(created, &record);
        if (NT_SUCCESS(status)) {
            created->AddRef();
            *stream = created;
        }
        created->Release(); // destroys the stream when its format was refused
    }
    channel->ChannelLock.Unlock();
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRT::GetDeviceDescription(PDEVICE_DESCRIPTION description) {
    RtlZeroMemory(description, sizeof(DEVICE_DESCRIPTION));
    description->Version = DEVICE_DESCRIPTION_VERSION;
    description->Master = TRUE;
    description->ScatterGather = TRUE;
    description->Dma32BitAddresses = TRUE;
    description->InterfaceType = PCIBus;
    description->MaximumLength = 0xFFFFFFFF;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveRT::PowerChangeNotify(POWER_STATE powerState) {
    UNREFERENCED_PARAMETER(powerState); // nothing to power
}

VOID CMiniportWaveRT::GenerateFormatChangeEvent() {
    if (portEvents == nullptr) {
        return;
    }
    portEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_PinCapsChange),
                                  KSEVENT_PINCAPS_FORMATCHANGE, TRUE, WaveStreamingPin, FALSE,
                                  AllNodes);
}
