// The WaveRT filter's own automation handlers: the node's channel configuration, the
// streaming pin's proposed format and the format-change event.
#include "audio/MiniportWaveRT.h"

#include "audio/PropertyRoutines.h"
#include "audio/WaveRTDescriptors.h"
#include "support/DataFormat.h"
#include "support/WaveFormat.h"
#include "transport/TransportChannel.h"

namespace {

// Speaker positions end at bit 17; a mask with any higher bit names no speaker.
const ULONG FirstInvalidSpeakerBit = 0x40000;

const GUID NoGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

NTSTATUS ChannelConfigUnderLock(PPCPROPERTY_REQUEST request, TransportChannel* channel) {
    NTSTATUS status = CheckPropertySizes(request, 0, sizeof(KSAUDIO_CHANNEL_CONFIG));
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        ULONG mask = channel->currentFormat.ChannelMask;
        RtlCopyMemory(request->Value, &mask, sizeof(mask));
        request->ValueSize = sizeof(mask);
        return STATUS_SUCCESS;
    }
    if (request->Verb & KSPROPERTY_TYPE_SET) {
        ULONG mask;
        RtlCopyMemory(&mask, request->Value, sizeof(mask));
        if (mask >= FirstInvalidSpeakerBit) {
            return STATUS_INVALID_PARAMETER;
        }
        if (mask != 0 && CountSetBits(mask) != channel->currentFormat.Channels) {
            return STATUS_INVALID_PARAMETER;
        }
        SetChannelMask(channel, mask);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetProposedFormat(PPCPROPERTY_REQUEST request, TransportChannel* channel) {
    if (request->ValueSize < DataFormatBlockBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const DeviceFormat& format = channel->currentFormat;
    WAVEFORMATEXTENSIBLE record;
    RtlZeroMemory(&record, sizeof(record));
    if (!BuildWaveFormat(&record, format.SampleRate, format.BitsPerSample, format.Channels,
                         format.ContainerBytes, format.ChannelMask, FALSE, FALSE)) {
        return STATUS_NO_MATCH; // a device format the builder refuses is proposed to nobody
    }
    if (!IsExtensibleLayout(&record)) {
        MakeExtensible(&record);
    }
    // Only the block is written, so only the block is reported.
    request->ValueSize = BuildKsDataFormat(&record, request->Value);
    return STATUS_SUCCESS;
}

NTSTATUS SetProposedFormat(PPCPROPERTY_REQUEST request, TransportChannel* channel) {
    ULONG formatSize;
    RtlCopyMemory(&formatSize, request->Value, sizeof(formatSize));
    if (request->ValueSize < sizeof(KSDATAFORMAT) || request->ValueSize < formatSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WAVEFORMATEXTENSIBLE record;
    RtlZeroMemory(&record, sizeof(record));
    GUID mode = NoGuid;
    NTSTATUS status =
        ValidateKsDataFormat(&record, static_cast<const KSDATAFORMAT*>(request->Value),
                             request->ValueSize, &mode, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!IsSupportedStreamFormat(&record)) {
        return STATUS_NO_MATCH;
    }
    if (!IsEqualGUID(mode, NoGuid) && !IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW) &&
        !IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_DEFAULT)) {
        return STATUS_NO_MATCH;
    }
    if (!IsExtensibleLayout(&record)) {
        MakeExtensible(&record);
    }
    // Only an answer: the device format changes through the client alone.
    return MatchDeviceFormat(channel, &record);
}

} // namespace

NTSTATUS NTAPI ChannelConfigHandler(PPCPROPERTY_REQUEST request) {
    if (request->Node != WaveNode) {
        return STATUS_NOT_FOUND;
    }
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return FillBasicSupport(request, NoGuid, 0);
    }
    TransportChannel* channel = CMiniportWaveRT::FromMajorTarget(request->MajorTarget)->channel;
    channel->ChannelLock.Lock();
    NTSTATUS status = ChannelConfigUnderLock(request, channel);
    channel->ChannelLock.Unlock();
    return status;
}

NTSTATUS NTAPI ProposedFormatHandler(PPCPROPERTY_REQUEST request) {
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return FillBasicSupport(request, KSPROPTYPESETID_General, NoPropertyType);
    }
    if (request->InstanceSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG pinId;
    RtlCopyMemory(&pinId, request->Instance, sizeof(pinId));
    if (pinId != WaveStreamingPin) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(KSDATAFORMAT));
    if (status != STATUS_SUCCESS) {
        return status;
    }
    TransportChannel* channel = CMiniportWaveRT::FromMajorTarget(request->MajorTarget)->channel;
    channel->ChannelLock.Lock();
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        status = GetProposedFormat(request, channel);
    } else if (request->Verb & KSPROPERTY_TYPE_SET) {
        status = SetProposedFormat(request, channel);
    }
    channel->ChannelLock.Unlock();
    return status;
}

NTSTATUS NTAPI FormatChangeEventHandler(PPCEVENT_REQUEST request) {
    CMiniportWaveRT* miniport = CMiniportWaveRT::FromMajorTarget(request->MajorTarget);
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry == nullptr || miniport->portEvents == nullptr) {
            return DriverGenericFailure;
        }
        miniport->portEvents->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
