// Property requests served by the miniport's automation tables: the filter table, a pin's
// table (pin id from KSP_PIN) or a node's (KSP_NODE with the topology flag), found by set and
// id, checked against the item's flags and handed over as a PCPROPERTY_REQUEST.
#include <cstring>

#include "Filter.h"

namespace host {

namespace {

// The verbs a request may carry; everything else (serialisation, relations...) is refused.
bool IsServedVerb(ULONG verb) {
    return verb == KSPROPERTY_TYPE_GET || verb == KSPROPERTY_TYPE_SET ||
           verb == KSPROPERTY_TYPE_BASICSUPPORT;
}

bool TableHasSet(const PCAUTOMATION_TABLE* table, const GUID& set) {
    if (table == nullptr) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item =
            reinterpret_cast<const PCPROPERTY_ITEM*>(bytes + size_t(i) * table->PropertyItemSize);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set)) {
            return true;
        }
    }
    return false;
}

bool AnyTableHasSet(const PCFILTER_DESCRIPTOR& descriptor, const GUID& set) {
    bool found = TableHasSet(descriptor.AutomationTable, set);
    for (ULONG i = 0; i < descriptor.PinCount && !found; ++i) {
        found = TableHasSet(descriptor.Pins[i].AutomationTable, set);
    }
    for (ULONG i = 0; i < descriptor.NodeCount && !found; ++i) {
        found = TableHasSet(descriptor.Nodes[i].AutomationTable, set);
    }
    return found;
}

bool AnyPinHas(const PCFILTER_DESCRIPTOR& descriptor, const GUID& set, ULONG id) {
    for (ULONG i = 0; i < descriptor.PinCount; ++i) {
        if (FindPropertyItem(descriptor.Pins[i].AutomationTable, set, id) != nullptr) {
            return true;
        }
    }
    return false;
}

} // namespace

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set,
                                        ULONG id) {
    if (table == nullptr) {
        return nullptr;
    }
    // Items may be larger than PCPROPERTY_ITEM; the table gives their size.
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item =
            reinterpret_cast<const PCPROPERTY_ITEM*>(bytes + size_t(i) * table->PropertyItemSize);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id) {
            return item;
        }
    }
    return nullptr;
}

const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id) {
    if (table == nullptr) {
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(table->Events);
    for (ULONG i = 0; i < table->EventCount; ++i) {
        const auto* item =
            reinterpret_cast<const PCEVENT_ITEM*>(bytes + size_t(i) * table->EventItemSize);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id) {
            return item;
        }
    }
    return nullptr;
}

NTSTATUS HandleAutomationProperty(PortBase& port, const PropertyCall& call,
                                  ULONG_PTR* information) {
    const KSPROPERTY& property = call.property;
    const PCFILTER_DESCRIPTOR& descriptor = *port.Descriptor();
    const bool topology = (property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    const ULONG verb = property.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    if (verb == KSPROPERTY_TYPE_SETSUPPORT) {
        return AnyTableHasSet(descriptor, property.Set) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    }
    if (!IsServedVerb(verb)) {
        return STATUS_INVALID_PARAMETER;
    }

    const PCPROPERTY_ITEM* item = nullptr;
    ULONG node = ULONG(-1);
    // Node requests hand over what follows the KSP_NODE (a channel, ...); filter and pin
    // requests what follows the KSPROPERTY, so a pin handler finds the pin id first.
    ULONG instanceOffset = sizeof(KSPROPERTY);
    if (topology) {
        if (call.inputLength < sizeof(KSP_NODE)) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        KSP_NODE request;
        std::memcpy(&request, call.input, sizeof(request));
        if (request.NodeId >= descriptor.NodeCount) {
            return STATUS_INVALID_PARAMETER;
        }
        node = request.NodeId;
        instanceOffset = sizeof(KSP_NODE);
        item = FindPropertyItem(descriptor.Nodes[node].AutomationTable, property.Set, property.Id);
    } else {
        item = FindPropertyItem(descriptor.AutomationTable, property.Set, property.Id);
        if (item == nullptr && AnyPinHas(descriptor, property.Set, property.Id)) {
            if (call.inputLength < sizeof(KSP_PIN)) {
                return STATUS_INVALID_BUFFER_SIZE;
            }
            KSP_PIN request;
            std::memcpy(&request, call.input, sizeof(request));
            if (request.PinId >= descriptor.PinCount) {
                return STATUS_INVALID_PARAMETER;
            }
            item = FindPropertyItem(descriptor.Pins[request.PinId].AutomationTable, property.Set,
                                    property.Id);
        }
    }
    if (item == nullptr) {
        return STATUS_NOT_FOUND;
    }
    if ((item->Flags & verb) == 0 || item->Handler == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG instanceSize = call.inputLength - instanceOffset;
    PCPROPERTY_REQUEST request{};
    request.MajorTarget = port.MajorTarget();
    request.MinorTarget = nullptr;
    request.Node = node;
    request.PropertyItem = item;
    request.Verb = property.Flags;
    request.InstanceSize = instanceSize;
    request.Instance =
        instanceSize == 0 ? nullptr : const_cast<unsigned char*>(call.input + instanceOffset);
    request.ValueSize = call.valueLength;
    request.Value = call.value;
    request.Irp = call.irp;
    NTSTATUS status = item->Handler(&request);
    *information = request.ValueSize;
    return status;
}

} // namespace host
