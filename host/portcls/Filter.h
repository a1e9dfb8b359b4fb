// The library's filters: the file object of an open subdevice, and the pieces of its property
// dispatch (the port's own pin properties, the miniport's automation tables).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Port.h"
#include "PortClass.h"

namespace host {

// Opens a filter of port for a create request.
NTSTATUS NewFilterFile(PortBase* port, PIRP irp, std::unique_ptr<PortClassFile>* file);

// A property request with the caller's buffers copied, as kernel streaming copies them: the
// whole input (the KSPROPERTY header first) and a value buffer of the caller's output size.
struct PropertyCall {
    PIRP irp;
    KSPROPERTY property;
    const unsigned char* input;
    ULONG inputLength;
    unsigned char* value;
    ULONG valueLength;
};

// Serves an IOCTL_KS_PROPERTY request: copies the caller's buffers (exactly their sizes), lets
// handler answer and copies back the value bytes it reported.
using PropertyHandler = std::function<NTSTATUS(const PropertyCall& call, ULONG_PTR* information)>;
NTSTATUS ServeProperty(PIRP irp, ULONG_PTR* information, const PropertyHandler& handler);

// The pin properties the port answers itself. handled is false for those it leaves to the
// miniport's tables.
NTSTATUS HandlePinProperty(PortBase& port, const PropertyCall& call, bool* handled,
                           ULONG_PTR* information);
// The miniport's filter, pin and node tables.
NTSTATUS HandleAutomationProperty(PortBase& port, const PropertyCall& call, ULONG_PTR* information);

// The item of set and id in table (null table: none).
const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);
const PCEVENT_ITEM* FindEventItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);

// The library's intersection of two simple ranges (no specifier of their own): a
// KSDATAFORMAT of the pin's range with the caller's wildcards resolved.
NTSTATUS DefaultIntersection(const KSDATARANGE& callerRange, const KSDATARANGE& pinRange,
                             void* result, ULONG resultCapacity, ULONG* resultLength);

// The other end of a physical connection at pin of subdevice name, and the interface link of
// the other subdevice (its first category).
bool FindPhysicalConnection(PDEVICE_OBJECT device, const std::u16string& name, ULONG pin,
                            ULONG* otherPin, std::u16string* otherLink);

} // namespace host
