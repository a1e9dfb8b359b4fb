// The data-format check and builder. Blocks come from user mode: every read is bounded by the
// sizes already checked, and fields are copied out byte-wise since nothing promises alignment.
#include "support/DataFormat.h"

#include "support/AttributeList.h"
#include "support/Diagnostics.h"
#include "support/GuidNames.h"
#include "support/WaveFormat.h"

namespace {

const ULONG HeaderBytes = sizeof(KSDATAFORMAT);
const ULONG WaveFormatBytes = sizeof(WAVEFORMATEX);
const ULONG ExtensibleBytes = sizeof(WAVEFORMATEXTENSIBLE);
const USHORT ExtensionBytes = ExtensibleBytes - WaveFormatBytes; // 22
const ULONG AttributeListAlignment = 8;

// Where a specifier puts its wave format, and the bytes up to the wave format's end.
struct SpecifierLayout {
    ULONG waveFormatOffset;
    ULONG headerSize;
};

constexpr SpecifierLayout WaveFormatExLayout = {HeaderBytes, HeaderBytes + WaveFormatBytes};
constexpr ULONG DsoundWaveFormatOffset =
    HeaderBytes + FIELD_OFFSET(KSDSOUND_BUFFERDESC, WaveFormatEx);
constexpr SpecifierLayout DsoundLayout = {DsoundWaveFormatOffset,
                                          DsoundWaveFormatOffset + WaveFormatBytes};
static_assert(WaveFormatExLayout.headerSize == 82 && DsoundLayout.waveFormatOffset == 72 &&
                  DsoundLayout.headerSize == 90,
              "specifier layouts");

PCWSTR NameIn(PWCHAR name, const GUID& guid, const GuidNameEntry* table) {
    return GuidName(name, &guid, table);
}

} // namespace

NTSTATUS ValidateKsDataFormat(WAVEFORMATEXTENSIBLE* record, const KSDATAFORMAT* dataFormat,
                              ULONGLONG blockSize, GUID* modeOut, PWCHAR messageBuffer) {
    const UCHAR* block = reinterpret_cast<const UCHAR*>(dataFormat);
    WCHAR name[GuidNameCapacity];
    WCHAR otherName[GuidNameCapacity];

    if (modeOut != nullptr) {
        RtlZeroMemory(modeOut, sizeof(GUID));
    }
    if (blockSize != 0 && blockSize < HeaderBytes) {
        ReportMessage(messageBuffer, L"Block size (%#x) is less than KSDATAFORMAT (%#x)",
                      static_cast<ULONG>(blockSize), HeaderBytes);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG formatSize;
    RtlCopyMemory(&formatSize, block + FIELD_OFFSET(KSDATAFORMAT, FormatSize), sizeof(ULONG));
    if (formatSize < HeaderBytes) {
        ReportMessage(messageBuffer, L"FormatSize (%#x) is less than KSDATAFORMAT (%#x)",
                      formatSize, HeaderBytes);
        return STATUS_INVALID_PARAMETER;
    }
    if (blockSize != 0 && blockSize < formatSize) {
        ReportMessage(messageBuffer, L"Block size (%#x) is less than Kdf.FormatSize (%#x)",
                      static_cast<ULONG>(blockSize), formatSize);
        return STATUS_INVALID_PARAMETER;
    }

    KSDATAFORMAT header;
    RtlCopyMemory(&header, block, HeaderBytes);
    if (!IsEqualGUID(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        ReportMessage(messageBuffer, L"Unsupported format type %s",
                      messageBuffer ? NameIn(name, header.MajorFormat, FormatTypeNames) : nullptr);
        return STATUS_NO_MATCH;
    }
    SpecifierLayout layout;
    if (IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        layout = WaveFormatExLayout;
    } else if (IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        layout = DsoundLayout;
    } else {
        ReportMessage(messageBuffer, L"Unsupported format specifier %s",
                      messageBuffer ? NameIn(name, header.Specifier, FormatSpecifierNames)
                                    : nullptr);
        return STATUS_NO_MATCH;
    }
    PCWSTR specifierName =
        messageBuffer ? NameIn(name, header.Specifier, FormatSpecifierNames) : nullptr;
    if (formatSize < layout.headerSize) {
        ReportMessage(messageBuffer, L"FormatSize (%#x) < %s size (%#x)", formatSize, specifierName,
                      layout.headerSize);
        return STATUS_INVALID_PARAMETER;
    }

    // From here formatSize >= headerSize, and the block holds formatSize bytes.
    const UCHAR* waveFormat = block + layout.waveFormatOffset;
    USHORT cbSize;
    RtlCopyMemory(&cbSize, waveFormat + FIELD_OFFSET(WAVEFORMATEX, cbSize), sizeof(USHORT));
    if (cbSize == 0) {
        RtlCopyMemory(record, waveFormat, WaveFormatBytes);
    } else {
        const ULONG neededSize = layout.headerSize + cbSize;
        if (formatSize < neededSize) {
            ReportMessage(messageBuffer, L"FormatSize (%#x) < %s size (%#x) + cbSize (%#x) = %#x",
                          formatSize, specifierName, layout.headerSize, ULONG{cbSize}, neededSize);
            return STATUS_INVALID_PARAMETER;
        }
        if (cbSize < ExtensionBytes) {
            ReportMessage(messageBuffer, L"Unknown cbSize %#x", ULONG{cbSize});
            return STATUS_NO_MATCH;
        }
        GUID waveSubFormat;
        RtlCopyMemory(&waveSubFormat, waveFormat + FIELD_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat),
                      sizeof(GUID));
        if (!IsEqualGUID(waveSubFormat, header.SubFormat)) {
            ReportMessage(messageBuffer, L"WfxExt.SubFormat %s doesn't match KDF.SubFormat %s",
                          messageBuffer ? NameIn(name, waveSubFormat, FormatSubtypeNames) : nullptr,
                          messageBuffer ? NameIn(otherName, header.SubFormat, FormatSubtypeNames)
                                        : nullptr);
            return STATUS_INVALID_PARAMETER;
        }
        RtlCopyMemory(record, waveFormat, ExtensibleBytes);
        if (record->Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
            ReportMessage(messageBuffer, L"Extensible format has tag %x - correcting",
                          ULONG{record->Format.wFormatTag});
            record->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        }
    }
    if (!IsValidWaveFormat(record)) {
        return STATUS_INVALID_PARAMETER;
    }

    if (header.Flags == 0) {
        return STATUS_SUCCESS;
    }
    if ((header.Flags & ~ULONG{KSDATAFORMAT_ATTRIBUTES}) != 0) {
        ReportMessage(messageBuffer, L"Unsupported KSDATAFORMAT flags %#x",
                      header.Flags & ~ULONG{KSDATAFORMAT_ATTRIBUTES});
    }
    if ((header.Flags & KSDATAFORMAT_ATTRIBUTES) == 0) {
        return STATUS_SUCCESS;
    }

    // In 64 bits: a FormatSize near 4 GiB must not round up to a small offset.
    const ULONGLONG listOffset = (ULONGLONG{formatSize} + AttributeListAlignment - 1) &
                                 ~ULONGLONG{AttributeListAlignment - 1};
    ULONGLONG listBytes = 0;
    if (blockSize != 0) {
        // A known block that ends at or before the list's start has no list to read; passing
        // 0 on would mean "unknown" and let the walk read past the block.
        if (blockSize <= listOffset) {
            ReportMessage(messageBuffer,
                          L"Block size (%#I64x) leaves no attribute list at offset %#I64x",
                          blockSize, listOffset);
            return STATUS_INVALID_PARAMETER;
        }
        listBytes = blockSize - listOffset;
    }
    return ValidateAttributeList(block + listOffset, listBytes, modeOut, messageBuffer);
}

ULONG BuildKsDataFormat(const WAVEFORMATEXTENSIBLE* record, PVOID block) {
    // The record holds at most the 22-byte extension; a longer cbSize would make FormatSize
    // promise bytes that are never written, so the block describes only what it carries.
    const USHORT cbSize =
        record->Format.cbSize > ExtensionBytes ? ExtensionBytes : record->Format.cbSize;
    KSDATAFORMAT header = {};
    header.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX) + cbSize;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    GetSubFormat(record, &header.SubFormat);
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    PUCHAR bytes = static_cast<PUCHAR>(block);
    RtlCopyMemory(bytes, &header, HeaderBytes);
    RtlCopyMemory(bytes + HeaderBytes, record, ExtensibleBytes);
    RtlCopyMemory(bytes + HeaderBytes + FIELD_OFFSET(WAVEFORMATEX, cbSize), &cbSize,
                  sizeof(USHORT));
    return header.FormatSize;
}

NTSTATUS AcceptStreamFormat(WAVEFORMATEXTENSIBLE* record, const KSDATAFORMAT* dataFormat,
                            ULONGLONG blockSize, GUID* modeOut) {
    NTSTATUS status = ValidateKsDataFormat(record, dataFormat, blockSize, modeOut, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!IsSupportedStreamFormat(record)) {
        return STATUS_NO_MATCH;
    }
    if (!IsExtensibleLayout(record)) {
        MakeExtensible(record);
    }
    return STATUS_SUCCESS;
}
