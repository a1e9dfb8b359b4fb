// The library's filters: the file object of an open subdevice, and the pieces of its property
// dispatch (the port's own pin properties, the miniport's automation tables).
#pragma once

#include <memory>
#include <string>

#include "Port.h"
#include "PortClass.h"
#include "kernel/Poison.h"

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

// The copies kernel streaming makes of a property request's buffers, exactly their sizes: the
// whole input (the KSPROPERTY header first) and a value buffer of the caller's output size, so a
// handler that strays beyond what it was given touches no caller memory. Small ones lie in
// place (a state change or a position request allocates nothing), with the unused rest poisoned
// for the address sanitizer as the end of a block of that size would be.
class PropertyCopies {
public:
    PropertyCopies() = default;
    PropertyCopies(const PropertyCopies&) = delete;
    PropertyCopies& operator=(const PropertyCopies&) = delete;
    ~PropertyCopies() {
        UnpoisonBytes(input, sizeof(input));
        UnpoisonBytes(value, sizeof(value));
    }

    // Checks the request's buffers and makes the copies call points to.
    NTSTATUS Take(PIRP irp, PropertyCall* call);
    // Hands back to the caller the value bytes a handler that returned status reported.
    NTSTATUS Give(PIRP irp, NTSTATUS status, ULONG_PTR* information);

private:
    static constexpr size_t InlineBytes = 256;
    unsigned char* Buffer(unsigned char* inPlace, std::unique_ptr<unsigned char[]>* large,
                          size_t bytes);

    alignas(16) unsigned char input[InlineBytes];
    alignas(16) unsigned char value[InlineBytes];
    std::unique_ptr<unsigned char[]> largeInput;
    std::unique_ptr<unsigned char[]> largeValue;
    unsigned char* valueCopy = nullptr;
    ULONG valueLength = 0;
};

// Serves an IOCTL_KS_PROPERTY request: copies the caller's buffers, lets handler (called as
// handler(const PropertyCall&, ULONG_PTR* information)) answer and copies back the value bytes
// it reported.
template <class Handler>
NTSTATUS ServeProperty(PIRP irp, ULONG_PTR* information, const Handler& handler) {
    PropertyCopies copies;
    PropertyCall call;
    NTSTATUS status = copies.Take(irp, &call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return copies.Give(irp, handler(call, information), information);
}

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
