// The pin properties a port answers from the miniport's descriptor (count, data flow,
// communication, category, data ranges, instances, physical connection) and the data
// intersection, which walks the caller's ranges and asks the miniport first.
#include <cstring>
#include <vector>

#include "Filter.h"

namespace host {

namespace {

// A value of fixed size: an empty buffer learns the size, a short one is refused.
NTSTATUS ReplyFixed(const PropertyCall& call, const void* value, ULONG size,
                    ULONG_PTR* information) {
    if (call.valueLength == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(call.value, value, size);
    *information = size;
    return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM list: also answers a buffer of just its size or just its header.
NTSTATUS ReplySizedList(const PropertyCall& call, const std::vector<unsigned char>& list,
                        ULONG_PTR* information) {
    const ULONG size = static_cast<ULONG>(list.size());
    if (call.valueLength == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    ULONG copied = 0;
    if (call.valueLength >= size) {
        copied = size;
    } else if (call.valueLength == sizeof(KSMULTIPLE_ITEM) || call.valueLength == sizeof(ULONG)) {
        copied = call.valueLength;
    } else {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(call.value, list.data(), copied);
    *information = copied;
    return STATUS_SUCCESS;
}

ULONG AlignUp8(ULONG size) {
    return (size + 7) & ~7u;
}

std::vector<unsigned char> DataRangeList(const KSPIN_DESCRIPTOR& pin) {
    std::vector<unsigned char> list(sizeof(KSMULTIPLE_ITEM), 0);
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        const KSDATARANGE* range = pin.DataRanges[i];
        const size_t at = list.size();
        list.resize(at + AlignUp8(range->FormatSize), 0);
        std::memcpy(list.data() + at, range, range->FormatSize);
    }
    KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), pin.DataRangesCount};
    std::memcpy(list.data(), &header, sizeof(header));
    return list;
}

bool GuidMatches(const GUID& a, const GUID& b, const GUID& wildcard) {
    return IsEqualGUID(a, b) || IsEqualGUID(a, wildcard) || IsEqualGUID(b, wildcard);
}

// Walks the caller's KSMULTIPLE_ITEM of ranges (after the KSP_PIN) against the pin's ranges:
// the first pair the miniport (or, where it leaves it, the library) matches gives the format.
NTSTATUS Intersect(PortBase& port, const PropertyCall& call, ULONG pinId, ULONG_PTR* information) {
    const unsigned char* items = call.input + sizeof(KSP_PIN);
    const ULONG available = call.inputLength - sizeof(KSP_PIN);
    KSMULTIPLE_ITEM header;
    if (available < sizeof(header)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(&header, items, sizeof(header));
    if (header.Size < sizeof(header) || header.Size > available) {
        return STATUS_INVALID_PARAMETER;
    }
    // The whole list is checked before the miniport sees any of it. Ranges are 8-byte aligned
    // in the list; each is copied out so the miniport reads an aligned range of exactly the
    // size it announces.
    std::vector<std::vector<ULONGLONG>> ranges;
    ULONG offset = sizeof(header);
    for (ULONG i = 0; i < header.Count; ++i) {
        offset = AlignUp8(offset);
        KSDATARANGE head;
        if (offset > header.Size || header.Size - offset < sizeof(head)) {
            return STATUS_INVALID_PARAMETER;
        }
        std::memcpy(&head, items + offset, sizeof(head));
        if (head.FormatSize < sizeof(head) || head.FormatSize > header.Size - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<ULONGLONG>& range =
            ranges.emplace_back(AlignUp8(head.FormatSize) / sizeof(ULONGLONG));
        std::memcpy(range.data(), items + offset, head.FormatSize);
        offset += head.FormatSize;
        if ((head.Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            // An attribute list follows the range; the miniports here do not read it.
            offset = AlignUp8(offset);
            KSMULTIPLE_ITEM attributes;
            if (offset > header.Size || header.Size - offset < sizeof(attributes)) {
                return STATUS_INVALID_PARAMETER;
            }
            std::memcpy(&attributes, items + offset, sizeof(attributes));
            if (attributes.Size < sizeof(attributes) || attributes.Size > header.Size - offset) {
                return STATUS_INVALID_PARAMETER;
            }
            offset += attributes.Size;
        }
    }
    const KSPIN_DESCRIPTOR& pin = port.Descriptor()->Pins[pinId].KsPinDescriptor;
    for (std::vector<ULONGLONG>& range : ranges) {
        auto* callerRange = reinterpret_cast<PKSDATARANGE>(range.data());
        for (ULONG j = 0; j < pin.DataRangesCount; ++j) {
            PKSDATARANGE pinRange = pin.DataRanges[j];
            ULONG resultLength = 0;
            NTSTATUS status = port.Miniport()->DataRangeIntersection(
                pinId, callerRange, pinRange, call.valueLength, call.value, &resultLength);
            if (status == STATUS_NOT_IMPLEMENTED) {
                status = DefaultIntersection(*callerRange, *pinRange, call.value, call.valueLength,
                                             &resultLength);
            }
            if (status == STATUS_NO_MATCH) {
                continue;
            }
            *information = resultLength;
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

} // namespace

NTSTATUS DefaultIntersection(const KSDATARANGE& callerRange, const KSDATARANGE& pinRange,
                             void* result, ULONG resultCapacity, ULONG* resultLength) {
    const bool simple = IsEqualGUID(pinRange.Specifier, KSDATAFORMAT_SPECIFIER_NONE) ||
                        IsEqualGUID(pinRange.Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD);
    if (!simple ||
        !GuidMatches(callerRange.MajorFormat, pinRange.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD) ||
        !GuidMatches(callerRange.SubFormat, pinRange.SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD) ||
        !GuidMatches(callerRange.Specifier, pinRange.Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD)) {
        return STATUS_NO_MATCH;
    }
    KSDATAFORMAT format = pinRange;
    format.FormatSize = sizeof(KSDATAFORMAT);
    format.Flags = 0;
    auto resolve = [](GUID* own, const GUID& caller, const GUID& wildcard) {
        if (IsEqualGUID(*own, wildcard)) {
            *own = caller;
        }
    };
    resolve(&format.MajorFormat, callerRange.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD);
    resolve(&format.SubFormat, callerRange.SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD);
    resolve(&format.Specifier, callerRange.Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD);
    *resultLength = sizeof(KSDATAFORMAT);
    if (resultCapacity == 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (resultCapacity < sizeof(KSDATAFORMAT)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(result, &format, sizeof(format));
    return STATUS_SUCCESS;
}

NTSTATUS HandlePinProperty(PortBase& port, const PropertyCall& call, bool* handled,
                           ULONG_PTR* information) {
    const KSPROPERTY& property = call.property;
    *handled = false;
    if (!IsEqualGUID(property.Set, KSPROPSETID_Pin) ||
        (property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        return STATUS_NOT_FOUND;
    }
    switch (property.Id) {
    case KSPROPERTY_PIN_CTYPES:
    case KSPROPERTY_PIN_DATAFLOW:
    case KSPROPERTY_PIN_COMMUNICATION:
    case KSPROPERTY_PIN_CATEGORY:
    case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_DATAINTERSECTION:
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_PHYSICALCONNECTION:
        break;
    default:
        return STATUS_NOT_FOUND; // the miniport's tables may serve it
    }
    *handled = true;
    // All of them are read-only.
    if (property.Flags == KSPROPERTY_TYPE_BASICSUPPORT) {
        const ULONG access = KSPROPERTY_TYPE_GET;
        return ReplyFixed(call, &access, sizeof(access), information);
    }
    if (property.Flags != KSPROPERTY_TYPE_GET) {
        return property.Flags == KSPROPERTY_TYPE_SET ? STATUS_INVALID_DEVICE_REQUEST
                                                     : STATUS_INVALID_PARAMETER;
    }
    const PCFILTER_DESCRIPTOR* descriptor = port.Descriptor();
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
        const ULONG count = descriptor->PinCount;
        return ReplyFixed(call, &count, sizeof(count), information);
    }
    if (call.inputLength < sizeof(KSP_PIN)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSP_PIN request;
    std::memcpy(&request, call.input, sizeof(request));
    if (request.PinId >= descriptor->PinCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const PCPIN_DESCRIPTOR& pin = descriptor->Pins[request.PinId];
    switch (property.Id) {
    case KSPROPERTY_PIN_DATAFLOW: {
        const ULONG flow = pin.KsPinDescriptor.DataFlow;
        return ReplyFixed(call, &flow, sizeof(flow), information);
    }
    case KSPROPERTY_PIN_COMMUNICATION: {
        const ULONG communication = pin.KsPinDescriptor.Communication;
        return ReplyFixed(call, &communication, sizeof(communication), information);
    }
    case KSPROPERTY_PIN_CATEGORY:
        if (pin.KsPinDescriptor.Category == nullptr) {
            return STATUS_NOT_FOUND;
        }
        return ReplyFixed(call, pin.KsPinDescriptor.Category, sizeof(GUID), information);
    case KSPROPERTY_PIN_DATARANGES:
        return ReplySizedList(call, DataRangeList(pin.KsPinDescriptor), information);
    case KSPROPERTY_PIN_DATAINTERSECTION:
        return Intersect(port, call, request.PinId, information);
    case KSPROPERTY_PIN_CINSTANCES: {
        const KSPIN_CINSTANCES instances{pin.MaxFilterInstanceCount,
                                         port.PinInstances(request.PinId)};
        return ReplyFixed(call, &instances, sizeof(instances), information);
    }
    default: { // KSPROPERTY_PIN_PHYSICALCONNECTION
        ULONG otherPin = 0;
        std::u16string link;
        if (!FindPhysicalConnection(port.Device(), port.name, request.PinId, &otherPin, &link)) {
            return STATUS_NOT_FOUND;
        }
        const size_t linkBytes = (link.size() + 1) * sizeof(WCHAR);
        std::vector<unsigned char> reply(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) +
                                         linkBytes);
        const ULONG size = static_cast<ULONG>(reply.size());
        std::memcpy(reply.data(), &size, sizeof(size));
        std::memcpy(reply.data() + sizeof(ULONG), &otherPin, sizeof(otherPin));
        std::memcpy(reply.data() + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName),
                    link.c_str(), linkBytes);
        return ReplyFixed(call, reply.data(), size, information);
    }
    }
}

} // namespace host
