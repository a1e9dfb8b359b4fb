// The topology and WaveRT ports: PcNewPort, the binding of a miniport in Init, the references
// the port keeps (miniport and adapter, as the library does) and the port's event list.
#include "Port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "PortClass.h"
#include "kernel/IoManager.h"
#include "kernel/Irql.h"

namespace host {

namespace {

// How the library recognises its own ports among the unknowns a driver hands it.
const GUID IID_HostPortObject = {
    0x6f1c0a52, 0x83d4, 0x4e0b, {0x9a, 0x61, 0x2d, 0x5e, 0x07, 0xc4, 0xb8, 0x13}};

[[noreturn]] void Unsupported(const char* call) {
    std::fprintf(stderr, "host: the port-class library does not support %s\n", call);
    std::abort();
}

template <typename PortInterface, typename MiniportInterface>
class PortOf final : public PortInterface, public PortBase {
public:
    PortOf(const GUID& portId, const GUID& miniportId) : portId(portId), miniportId(miniportId) {}

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
        if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IPort) ||
            IsEqualGUID(id, portId)) {
            *object = static_cast<PortInterface*>(this);
        } else if (IsEqualGUID(id, IID_IPortEvents)) {
            *object = static_cast<IPortEvents*>(this);
        } else if (IsEqualGUID(id, IID_HostPortObject)) {
            *object = static_cast<PortBase*>(this);
        } else {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT DeviceObject, PIRP, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
         PRESOURCELIST ResourceList) override {
        return BindMiniport(DeviceObject, UnknownMiniport, UnknownAdapter, ResourceList);
    }
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
        Unsupported("IPort::GetDeviceProperty");
    }
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                   PULONG) override {
        Unsupported("IPort::NewRegistryKey");
    }

protected:
    const GUID& MiniportInterfaceId() const override { return miniportId; }
    NTSTATUS InitMiniport(IMiniport* bound, PUNKNOWN adapter, PRESOURCELIST resources) override {
        return static_cast<MiniportInterface*>(bound)->Init(adapter, resources, this);
    }

private:
    const GUID& portId;
    const GUID& miniportId;
};

using TopologyPort = PortOf<IPortTopology, IMiniportTopology>;
using WaveRTPort = PortOf<IPortWaveRT, IMiniportWaveRT>;

} // namespace

PortBase::~PortBase() {
    PortClass& library = Machine::Current().Get<PortClass>();
    std::lock_guard<host::Lock> hold(library.lock);
    if (PortClass::Device* record = library.FindDevice(device)) {
        record->ports.erase(std::remove(record->ports.begin(), record->ports.end(), this),
                            record->ports.end());
    }
}

PortBase* PortBase::FromUnknown(PUNKNOWN unknown) {
    if (unknown == nullptr) {
        return nullptr;
    }
    PVOID object = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_HostPortObject, &object)) || object == nullptr) {
        return nullptr;
    }
    auto* port = static_cast<PortBase*>(object);
    port->Release(); // the caller's unknown keeps the port
    return port;
}

NTSTATUS PortBase::BindMiniport(PDEVICE_OBJECT DeviceObject, PUNKNOWN UnknownMiniport,
                                PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IPort::Init");
    PortClass& library = Machine::Current().Get<PortClass>();
    {
        std::lock_guard<host::Lock> hold(library.lock);
        if (DeviceObject == nullptr || UnknownMiniport == nullptr ||
            library.FindDevice(DeviceObject) == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (miniport != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST; // bound already
    }
    NTSTATUS status = library.TakeFault(PortClassCall::PortInit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID bound = nullptr;
    status = UnknownMiniport->QueryInterface(MiniportInterfaceId(), &bound);
    if (!NT_SUCCESS(status) || bound == nullptr) {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    // The interface asked for derives from IMiniport in single inheritance: same address.
    miniport = static_cast<IMiniport*>(bound);
    if (UnknownAdapter != nullptr) {
        UnknownAdapter->AddRef();
    }
    adapter = UnknownAdapter;
    device = DeviceObject;
    status = InitMiniport(miniport, adapter, ResourceList);
    if (NT_SUCCESS(status)) {
        status = miniport->GetDescription(&descriptor);
        if (NT_SUCCESS(status) && descriptor == nullptr) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (!NT_SUCCESS(status)) {
        device = nullptr;
        descriptor = nullptr;
        ReleaseChildren();
        return status;
    }
    std::lock_guard<host::Lock> hold(library.lock);
    library.FindDevice(DeviceObject)->ports.push_back(this);
    return STATUS_SUCCESS;
}

void PortBase::ReleaseChildren() {
    IMiniport* oldMiniport = miniport;
    PUNKNOWN oldAdapter = adapter;
    miniport = nullptr;
    adapter = nullptr;
    if (oldMiniport != nullptr) {
        oldMiniport->Release();
    }
    if (oldAdapter != nullptr) {
        oldAdapter->Release();
    }
}

void PortBase::AddEventToEventList(PKSEVENT_ENTRY EventEntry) {
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> hold(eventLock);
        if (EventEntry == nullptr || EventEntry->port != this) {
            refusal = "an event entry this port did not hand out";
        } else if (EventEntry->listed) {
            refusal = "an event entry that is on the list already";
        } else {
            EventEntry->listed = true;
            events.push_back(EventEntry);
        }
    }
    if (refusal != nullptr) {
        Machine::Current().Get<IoManager>().Report(
            std::string("IPortEvents::AddEventToEventList was given ") + refusal);
    }
}

void PortBase::GenerateEventList(GUID* Set, ULONG EventId, BOOL PinEvent, ULONG PinId,
                                 BOOL NodeEvent, ULONG NodeId) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IPortEvents::GenerateEventList");
    if (Set == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(eventLock);
    for (PKSEVENT_ENTRY entry : events) {
        // An entry enabled for every pin (or node) hears each one's events.
        const bool pinMatches = !PinEvent || entry->pinId == ULONG(-1) || entry->pinId == PinId;
        const bool nodeMatches =
            !NodeEvent || entry->nodeId == ULONG(-1) || entry->nodeId == NodeId;
        if (IsEqualGUID(entry->set, *Set) && entry->id == EventId && pinMatches && nodeMatches) {
            KeSetEvent(entry->event, IO_NO_INCREMENT, FALSE);
        }
    }
}

void PortBase::RemoveEvent(PKSEVENT_ENTRY entry) {
    std::lock_guard<std::mutex> hold(eventLock);
    if (entry->listed) {
        events.erase(std::remove(events.begin(), events.end(), entry), events.end());
        entry->listed = false;
    }
}

bool PortBase::TakePinInstance(ULONG pin, ULONG limit) {
    std::lock_guard<std::mutex> hold(pinLock);
    ULONG& open = pinInstances[pin];
    if (open >= limit) {
        return false;
    }
    ++open;
    return true;
}

void PortBase::ReturnPinInstance(ULONG pin) {
    std::lock_guard<std::mutex> hold(pinLock);
    auto found = pinInstances.find(pin);
    if (found != pinInstances.end() && found->second != 0) {
        --found->second;
    }
}

ULONG PortBase::PinInstances(ULONG pin) {
    std::lock_guard<std::mutex> hold(pinLock);
    auto found = pinInstances.find(pin);
    return found == pinInstances.end() ? 0 : found->second;
}

} // namespace host

using host::Machine;
using host::PortClass;
using host::PortClassCall;

extern "C" NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcNewPort");
    if (OutPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutPort = nullptr;
    NTSTATUS status = Machine::Current().Get<PortClass>().TakeFault(PortClassCall::NewPort);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (IsEqualGUID(ClassId, CLSID_PortTopology)) {
        *OutPort = new host::TopologyPort(IID_IPortTopology, IID_IMiniportTopology);
    } else if (IsEqualGUID(ClassId, CLSID_PortWaveRT)) {
        *OutPort = new host::WaveRTPort(IID_IPortWaveRT, IID_IMiniportWaveRT);
    } else {
        // The wave-cyclic, wave-PCI and MIDI ports are not part of this library.
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}
