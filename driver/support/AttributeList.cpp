// The attribute-list check. The list comes from user mode: no header or mode GUID is read
// beyond the list's Size, which itself was checked against the bytes available.
#include "support/AttributeList.h"

#include "support/Diagnostics.h"
#include "support/GuidNames.h"

namespace {

const ULONG ListHeaderBytes = sizeof(KSMULTIPLE_ITEM);
const ULONG AttributeHeaderBytes = sizeof(KSATTRIBUTE);
const ULONG ModeAttributeBytes = AttributeHeaderBytes + sizeof(GUID); // 40
const ULONG SuspiciousAttributeBytes = 256;
const ULONGLONG AttributeAlignment = 8;

PCWSTR AttributeName(PWCHAR name, PWCHAR messageBuffer, const GUID& guid) {
    return messageBuffer ? GuidNameAll(name, &guid, DefaultNameTables) : nullptr;
}

} // namespace

NTSTATUS ValidateAttributeList(const VOID* list, ULONGLONG availableBytes, GUID* modeOut,
                               PWCHAR messageBuffer) {
    const UCHAR* bytes = static_cast<const UCHAR*>(list);
    WCHAR name[GuidNameAllCapacity];

    if (availableBytes != 0 && availableBytes < ListHeaderBytes) {
        ReportMessage(messageBuffer, L"Attribute block size (%#x) < KSMULTIPLE_ITEM (%#x)",
                      static_cast<ULONG>(availableBytes), ListHeaderBytes);
        return STATUS_INVALID_PARAMETER;
    }
    KSMULTIPLE_ITEM header;
    RtlCopyMemory(&header, bytes, ListHeaderBytes);
    if (header.Size < ListHeaderBytes || (header.Size == ListHeaderBytes && header.Count != 0)) {
        ReportMessage(messageBuffer, L"Invalid attribute list header: Size=%#x, Count=%u",
                      header.Size, header.Count);
        return STATUS_INVALID_PARAMETER;
    }
    if (availableBytes != 0 && availableBytes < header.Size) {
        ReportMessage(messageBuffer, L"Attribute block size (%#x) < KSMULTIPLE_ITEM.Size (%#x)",
                      static_cast<ULONG>(availableBytes), header.Size);
        return STATUS_INVALID_PARAMETER;
    }
    if (header.Size < ListHeaderBytes + AttributeHeaderBytes) {
        ReportMessage(messageBuffer,
                      L"KSMULTIPLE_ITEM.Size (%#x) < KSMULTIPLE_ITEM size (%#x) + KSATTRIBUTE "
                      L"size (%#x)",
                      header.Size, ListHeaderBytes, AttributeHeaderBytes);
        return STATUS_INVALID_PARAMETER;
    }

    // Offsets and sums in 64 bits, so no attribute Size can wrap them back into the list.
    const ULONGLONG listSize = header.Size;
    ULONGLONG offset = ListHeaderBytes;
    ULONGLONG sizeSum = 0;
    for (ULONGLONG index = 0; index < header.Count; ++index) {
        const ULONG number = static_cast<ULONG>(index + 1);
        // A Count larger than what the list holds: stop before reading outside it.
        if (offset + AttributeHeaderBytes > listSize) {
            ReportMessage(messageBuffer,
                          L"KSATTRIBUTE %u at offset %#I64x is beyond attribute list size (%#x)",
                          number, offset, header.Size);
            return STATUS_INVALID_PARAMETER;
        }
        KSATTRIBUTE attribute;
        RtlCopyMemory(&attribute, bytes + offset, AttributeHeaderBytes);
        if (attribute.Size < AttributeHeaderBytes) {
            ReportMessage(messageBuffer, L"Attribute %u size (%#x) < KSATTRIBUTE size (%#x)",
                          number, attribute.Size, AttributeHeaderBytes);
            return STATUS_INVALID_PARAMETER;
        }
        if (attribute.Size > SuspiciousAttributeBytes) {
            ReportMessage(messageBuffer,
                          L"KSATTRIBUTE %u (Size=%#x, Flags=%#x, Id=%s) is suspicious", number,
                          attribute.Size, attribute.Flags,
                          AttributeName(name, messageBuffer, attribute.Attribute));
        }
        if (offset + attribute.Size > listSize) {
            ReportMessage(messageBuffer,
                          L"KSATTRIBUTE %u with size %#x is beyond attribute list size (%#x)",
                          number, attribute.Size, header.Size);
            return STATUS_INVALID_PARAMETER;
        }
        if (!IsEqualGUID(attribute.Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE)) {
            ReportMessage(messageBuffer, L"Unknown KSATTRIBUTE %u: Size=%#x, Flags=%#x, Id=%s",
                          number, attribute.Size, attribute.Flags,
                          AttributeName(name, messageBuffer, attribute.Attribute));
            return STATUS_NO_MATCH;
        }
        if (attribute.Size < ModeAttributeBytes) {
            ReportMessage(messageBuffer,
                          L"Signal processing mode attribute %u size (%#x) is less than %#x",
                          number, attribute.Size, ModeAttributeBytes);
            return STATUS_INVALID_PARAMETER;
        }
        GUID mode;
        RtlCopyMemory(&mode, bytes + offset + AttributeHeaderBytes, sizeof(GUID));
        if (modeOut != nullptr) {
            *modeOut = mode;
        } else if (!IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_DEFAULT)) {
            ReportMessage(
                messageBuffer,
                L"Signal processing mode (%s) is not DEFAULT but no variable to return it",
                messageBuffer ? GuidName(name, &mode, SignalProcessingNames) : nullptr);
            return STATUS_MORE_ENTRIES;
        }
        sizeSum += attribute.Size;
        offset += (ULONGLONG{attribute.Size} + AttributeAlignment - 1) & ~(AttributeAlignment - 1);
    }

    if (sizeSum + ListHeaderBytes != listSize) {
        // The attributes lie inside the list, so their sum fits 32 bits.
        ReportMessage(messageBuffer,
                      L"Size of attributes (%#x) is different from specified in the header (%#x)",
                      static_cast<ULONG>(sizeSum), header.Size);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}
