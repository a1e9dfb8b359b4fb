// Checks and builders of the wave format record. The record is byte-packed, so GUIDs are
// copied out of it before they are compared.
#include "support/WaveFormat.h"

#include "support/Diagnostics.h"
#include "support/FormatLimits.h"

namespace {

const USHORT ExtensionBytes = 22; // cbSize of the extensible layout
const ULONG PlainRecordBytes = sizeof(WAVEFORMATEX);
const ULONG ExtensibleRecordBytes = sizeof(WAVEFORMATEXTENSIBLE);

// Indexed by channel count; counts without a conventional speaker layout get no mask.
const ULONG DefaultMasks[] = {
    0,     KSAUDIO_SPEAKER_MONO, KSAUDIO_SPEAKER_STEREO, 0,
    0x33, // front left and right, back left and right
    0,
    0x60F, // front left, right, centre, low frequency, side left and right
    0,
    0x63F, // the six above plus back left and right
};

GUID RecordSubFormat(const WAVEFORMATEXTENSIBLE* record) {
    GUID subFormat;
    GetSubFormat(record, &subFormat);
    return subFormat;
}

BOOLEAN IsNullGuid(const GUID& guid) {
    const GUID nullGuid = {};
    return IsEqualGUID(guid, nullGuid) ? TRUE : FALSE;
}

// Any sub-format derived from a format tag: the WAVEFORMATEX base in all but the tag's bytes.
BOOLEAN IsTagDerivedSubFormat(const GUID& subFormat) {
    const ULONG tagBytes = 2;
    return RtlEqualMemory(reinterpret_cast<const UCHAR*>(&subFormat) + tagBytes,
                          reinterpret_cast<const UCHAR*>(&KSDATAFORMAT_SUBTYPE_WAVEFORMATEX) +
                              tagBytes,
                          sizeof(GUID) - tagBytes)
               ? TRUE
               : FALSE;
}

// The builders take 32-bit numbers for fields that are 16 bits wide in the record: refuse
// what would be cut rather than build a record that describes another format.
BOOLEAN FitsRecordFields(ULONG rate, ULONG channels, ULONGLONG containerBytes) {
    const ULONGLONG blockAlign = containerBytes * channels;
    return containerBytes * 8 <= MAXUSHORT && channels <= MAXUSHORT && blockAlign <= MAXUSHORT &&
           blockAlign * rate <= MAXULONG;
}

BOOLEAN IsPlainShape(ULONG bits, ULONG channels, BOOLEAN isFloat) {
    const BOOLEAN plainBits = isFloat ? bits == 32 : (bits == 8 || bits == 16);
    return plainBits && InRange(channels, 1, 2);
}

} // namespace

BOOLEAN IsPlainLayout(const WAVEFORMATEXTENSIBLE* record) {
    return record->Format.wFormatTag == WAVE_FORMAT_PCM || record->Format.cbSize == 0;
}

BOOLEAN IsExtensibleLayout(const WAVEFORMATEXTENSIBLE* record) {
    return record->Format.wFormatTag != WAVE_FORMAT_PCM && record->Format.cbSize >= ExtensionBytes;
}

GUID* GetSubFormat(const WAVEFORMATEXTENSIBLE* record, GUID* subFormat) {
    if (IsExtensibleLayout(record)) {
        RtlCopyMemory(subFormat, &record->SubFormat, sizeof(GUID));
    } else {
        *subFormat = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
        subFormat->Data1 = record->Format.wFormatTag;
    }
    return subFormat;
}

BOOLEAN HasFormatIdentity(const WAVEFORMATEXTENSIBLE* record) {
    if (record->Format.wFormatTag != 0) {
        return TRUE;
    }
    return !IsPlainLayout(record) && !IsNullGuid(RecordSubFormat(record));
}

BOOLEAN HasRateBitsChannels(ULONG rate, ULONG bits, ULONG channels) {
    return rate != 0 && bits != 0 && channels != 0;
}

BOOLEAN IsPcmOrFloat(const WAVEFORMATEXTENSIBLE* record) {
    const GUID subFormat = RecordSubFormat(record);
    return IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
           IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

BOOLEAN InRange(ULONG value, ULONG minimum, ULONG maximum) {
    return minimum <= value && value <= maximum;
}

BOOLEAN IsValidWaveFormat(const WAVEFORMATEXTENSIBLE* record) {
    const WAVEFORMATEX& format = record->Format;
    if (!HasFormatIdentity(record)) {
        return FALSE;
    }
    if (format.nSamplesPerSec == 0 || format.wBitsPerSample == 0 ||
        format.wBitsPerSample % 8 != 0 || format.nChannels == 0) {
        return FALSE;
    }
    // Products in 64 bits: a wrapped 32-bit product could match a byte rate by accident.
    const ULONGLONG byteRate = static_cast<ULONGLONG>(format.nBlockAlign) * format.nSamplesPerSec;
    if (format.nAvgBytesPerSec == byteRate &&
        format.nBlockAlign != static_cast<ULONG>(format.wBitsPerSample / 8) * format.nChannels) {
        return FALSE;
    }
    if (!IsExtensibleLayout(record)) {
        return TRUE;
    }
    return format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           IsTagDerivedSubFormat(RecordSubFormat(record)) &&
           InRange(record->Samples.wValidBitsPerSample, 1, format.wBitsPerSample);
}

BOOLEAN IsSupportedStreamFormat(const WAVEFORMATEXTENSIBLE* record) {
    const WAVEFORMATEX& format = record->Format;
    if (!IsPcmOrFloat(record)) {
        return FALSE;
    }
    if (format.nAvgBytesPerSec !=
        static_cast<ULONGLONG>(format.nBlockAlign) * format.nSamplesPerSec) {
        return FALSE;
    }
    if (IsExtensibleLayout(record) && record->Samples.wValidBitsPerSample < StreamMinimumBits) {
        return FALSE;
    }
    return InRange(format.nSamplesPerSec, StreamMinimumSampleRate, StreamMaximumSampleRate) &&
           InRange(format.wBitsPerSample, StreamMinimumBits, StreamMaximumBits) &&
           InRange(format.nChannels, 1, StreamMaximumChannels);
}

void MakeExtensible(WAVEFORMATEXTENSIBLE* record) {
    GUID subFormat = KSDATAFORMAT_SUBTYPE_PCM;
    if (record->Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        // The device is offered integer formats only; a float stream reaching this point is
        // worth a look by whoever has a kernel debugger attached.
        if (IsDebuggerEnabled()) {
            DbgBreakPoint();
        }
        subFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    RtlCopyMemory(&record->SubFormat, &subFormat, sizeof(GUID));
    record->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    record->Format.cbSize = ExtensionBytes;
    record->Samples.wValidBitsPerSample = record->Format.wBitsPerSample;
    record->dwChannelMask = DefaultChannelMask(record->Format.nChannels);
}

BOOLEAN BuildWaveFormat(WAVEFORMATEXTENSIBLE* record, ULONG rate, ULONG bits, ULONG channels,
                        ULONG containerBytes, ULONG channelMask, BOOLEAN forceExtensible,
                        BOOLEAN isFloat) {
    const ULONGLONG smallestContainer = (static_cast<ULONGLONG>(bits) + 7) / 8;
    const ULONGLONG container = containerBytes != 0 ? containerBytes : smallestContainer;
    if (!HasRateBitsChannels(rate, bits, channels) || container < smallestContainer ||
        !FitsRecordFields(rate, channels, container)) {
        return FALSE;
    }

    if (!forceExtensible && IsPlainShape(bits, channels, isFloat) && container * 8 == bits &&
        (channelMask == AnyChannelMask || channelMask == DefaultChannelMask(channels))) {
        return BuildPlainWaveFormat(record, rate, bits, channels, isFloat);
    }

    WAVEFORMATEXTENSIBLE built = {};
    built.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    built.Format.nChannels = static_cast<USHORT>(channels);
    built.Format.nSamplesPerSec = rate;
    built.Format.wBitsPerSample = static_cast<USHORT>(container * 8);
    built.Format.cbSize = ExtensionBytes;
    built.Samples.wValidBitsPerSample = static_cast<USHORT>(bits);
    built.dwChannelMask =
        channelMask == AnyChannelMask ? DefaultChannelMask(channels) : channelMask;
    const GUID subFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    RtlCopyMemory(&built.SubFormat, &subFormat, sizeof(GUID));
    built.Format.nBlockAlign = static_cast<USHORT>((built.Format.wBitsPerSample / 8) * channels);
    built.Format.nAvgBytesPerSec = built.Format.nBlockAlign * rate;
    if (!IsValidWaveFormat(&built)) {
        return FALSE;
    }
    RtlCopyMemory(record, &built, ExtensibleRecordBytes);
    return TRUE;
}

BOOLEAN BuildPlainWaveFormat(WAVEFORMATEXTENSIBLE* record, ULONG rate, ULONG bits, ULONG channels,
                             BOOLEAN isFloat) {
    if (!HasRateBitsChannels(rate, bits, channels)) {
        return FALSE;
    }
    if (!IsPlainShape(bits, channels, isFloat)) {
        return BuildWaveFormat(record, rate, bits, channels, 0, AnyChannelMask, FALSE, isFloat);
    }
    if (!FitsRecordFields(rate, channels, bits / 8)) {
        return FALSE;
    }
    WAVEFORMATEXTENSIBLE built = {};
    built.Format.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    built.Format.nChannels = static_cast<USHORT>(channels);
    built.Format.nSamplesPerSec = rate;
    built.Format.wBitsPerSample = static_cast<USHORT>(bits);
    built.Format.nBlockAlign = static_cast<USHORT>((bits / 8) * channels);
    built.Format.nAvgBytesPerSec = built.Format.nBlockAlign * rate;
    built.Format.cbSize = 0;
    if (!IsValidWaveFormat(&built)) {
        return FALSE;
    }
    RtlCopyMemory(record, &built, PlainRecordBytes);
    return TRUE;
}

ULONG DefaultChannelMask(ULONG channels) {
    return channels < RTL_NUMBER_OF(DefaultMasks) ? DefaultMasks[channels] : 0;
}

UCHAR SilenceByte(const WAVEFORMATEXTENSIBLE* record) {
    // 8-bit samples are unsigned, centred on 128; wider ones are signed, centred on 0.
    return record->Format.wBitsPerSample == 8 ? 128 : 0;
}

ULONG CountSetBits(ULONG word) {
    ULONG count = 0;
    for (; word != 0; word &= word - 1) {
        ++count;
    }
    return count;
}
