// The library's ports (topology and WaveRT): the object a driver gets from PcNewPort, which
// binds a miniport in Init, serves its filter once registered and keeps the filter's enabled
// events. Both port classes share everything but the interfaces they speak.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <portcls.h>

#include "kernel/Handles.h"

namespace host {
class PortBase;
}

// An enabled event as the library keeps it. Miniports only pass the pointer back.
struct _KSEVENT_ENTRY {
    host::PortBase* port = nullptr;
    GUID set{};
    ULONG id = 0;
    ULONG pinId = ULONG(-1);  // ULONG(-1): every pin
    ULONG nodeId = ULONG(-1); // ULONG(-1): every node
    const PCEVENT_ITEM* item = nullptr;
    PRKEVENT event = nullptr;
    std::shared_ptr<host::HandleObject> eventObject; // keeps the caller's event alive
    const void* userData = nullptr;                  // the caller's KSEVENTDATA, names it
    bool listed = false;
};

namespace host {

class PortBase : public IPortEvents {
public:
    virtual ~PortBase();

    // The port behind an unknown the library handed out, or null for anything else.
    static PortBase* FromUnknown(PUNKNOWN unknown);

    // The interface the miniport is known by: the major target of its requests.
    PUNKNOWN MajorTarget() const { return reinterpret_cast<PUNKNOWN>(miniport); }
    IMiniport* Miniport() const { return miniport; }
    const PCFILTER_DESCRIPTOR* Descriptor() const { return descriptor; }
    PDEVICE_OBJECT Device() const { return device; }
    bool IsBound() const { return miniport != nullptr; }

    // The reference string the port was registered under (empty before).
    std::u16string name;

    // Drops the miniport and the adapter, which hold the port in turn; the library calls it
    // when the device goes, so that the references the two keep on each other end.
    void ReleaseChildren();

    // IPortEvents.
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY EventEntry) override;
    STDMETHODIMP_(void)
    GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent,
                      ULONG NodeId) override;
    // Takes an entry off the list (nothing for an entry not on it).
    void RemoveEvent(PKSEVENT_ENTRY entry);

    // The open instances of a pin, counted across the port's filter files: taking one fails
    // when limit are open already.
    bool TakePinInstance(ULONG pin, ULONG limit);
    void ReturnPinInstance(ULONG pin);
    ULONG PinInstances(ULONG pin);

protected:
    PortBase() = default;
    NTSTATUS BindMiniport(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport,
                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList);
    // The port's class-specific part: the miniport interface it asks for, and that
    // interface's Init with the port's own interface.
    virtual const GUID& MiniportInterfaceId() const = 0;
    virtual NTSTATUS InitMiniport(IMiniport* bound, PUNKNOWN adapter, PRESOURCELIST resources) = 0;

    std::atomic<ULONG> references{1};

private:
    PDEVICE_OBJECT device = nullptr;
    IMiniport* miniport = nullptr; // counted, the class's own miniport interface
    PUNKNOWN adapter = nullptr;    // counted
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    std::mutex eventLock;
    std::vector<PKSEVENT_ENTRY> events;
    std::mutex pinLock;
    std::map<ULONG, ULONG> pinInstances;
};

} // namespace host
