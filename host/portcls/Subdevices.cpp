// Registering subdevices (a filter under its reference string and a device interface for each
// of its categories) and the physical connections between them.
#include <cstring>

#include "EndpointBuilder.h"
#include "Filter.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/Irql.h"

namespace host {

namespace {

std::u16string NameText(PCWSTR name) {
    std::u16string text;
    for (; name != nullptr && *name != 0; ++name) {
        text.push_back(static_cast<char16_t>(*name));
    }
    return text;
}

// Registers and enables the interface of one category; link receives its name.
NTSTATUS EnableInterface(PDEVICE_OBJECT physical, const GUID& category, PWSTR name,
                         std::u16string* link) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, name);
    UNICODE_STRING symbolicLink{};
    NTSTATUS status = IoRegisterDeviceInterface(physical, &category, &reference, &symbolicLink);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *link = FromUnicodeString(&symbolicLink);
    status = IoSetDeviceInterfaceState(&symbolicLink, TRUE);
    RtlFreeUnicodeString(&symbolicLink);
    // A category listed twice names the same interface, which is enabled already.
    return status == STATUS_OBJECT_NAME_EXISTS ? STATUS_SUCCESS : status;
}

// A port that the driver may name in a connection: bound, registered, on this device.
PortBase* RegisteredPort(PDEVICE_OBJECT device, PUNKNOWN unknown, ULONG pin) {
    PortBase* port = PortBase::FromUnknown(unknown);
    if (port == nullptr || !port->IsBound() || port->Device() != device || port->name.empty() ||
        pin >= port->Descriptor()->PinCount) {
        return nullptr;
    }
    return port;
}

} // namespace

bool FindPhysicalConnection(PDEVICE_OBJECT device, const std::u16string& name, ULONG pin,
                            ULONG* otherPin, std::u16string* otherLink) {
    PortClass& library = Machine::Current().Get<PortClass>();
    std::lock_guard<host::Lock> hold(library.lock);
    PortClass::Device* record = library.FindDevice(device);
    if (record == nullptr) {
        return false;
    }
    for (const PhysicalConnection& connection : record->connections) {
        std::u16string other;
        if (connection.fromName == name && connection.fromPin == pin) {
            other = connection.toName;
            *otherPin = connection.toPin;
        } else if (connection.toName == name && connection.toPin == pin) {
            other = connection.fromName;
            *otherPin = connection.fromPin;
        } else {
            continue;
        }
        for (const SubdeviceInterface& entry : record->interfaces) {
            if (entry.name == other) {
                *otherLink = entry.link;
                return true;
            }
        }
    }
    return false;
}

} // namespace host

using host::Machine;
using host::PortBase;
using host::PortClass;

extern "C" NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name,
                                              PUNKNOWN Unknown) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice");
    PortClass& library = Machine::Current().Get<PortClass>();
    NTSTATUS status = library.TakeFault(host::PortClassCall::RegisterSubdevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PortBase* port = PortBase::FromUnknown(Unknown);
    const std::u16string name = host::NameText(Name);
    if (port == nullptr || !port->IsBound() || port->Device() != DeviceObject || name.empty() ||
        !port->name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    status = library.AddSubdevice(DeviceObject, name,
                                  [port](PIRP irp, std::unique_ptr<host::PortClassFile>* file) {
                                      return host::NewFilterFile(port, irp, file);
                                  });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT physical = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        physical = library.FindDevice(DeviceObject)->physicalDevice;
    }
    const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
    std::vector<host::SubdeviceInterface> interfaces;
    for (ULONG i = 0; i < descriptor->CategoryCount && NT_SUCCESS(status); ++i) {
        host::SubdeviceInterface entry{name, descriptor->Categories[i], {}};
        status = host::EnableInterface(physical, entry.category, Name, &entry.link);
        if (NT_SUCCESS(status)) {
            interfaces.push_back(std::move(entry));
        }
    }
    if (!NT_SUCCESS(status)) {
        for (const host::SubdeviceInterface& entry : interfaces) {
            Machine::Current().Get<host::DeviceInterfaces>().SetState(entry.link, false);
        }
        library.RemoveSubdevice(DeviceObject, name);
        return status;
    }
    port->name = name;
    port->AddRef(); // the library's reference, until the device goes
    host::BuildAudioEndpoint(port, physical, interfaces);
    std::lock_guard<host::Lock> hold(library.lock);
    PortClass::Device* record = library.FindDevice(DeviceObject);
    record->registeredPorts.push_back(port);
    for (host::SubdeviceInterface& entry : interfaces) {
        record->interfaces.push_back(std::move(entry));
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject,
                                                       PUNKNOWN FromUnknown, ULONG FromPin,
                                                       PUNKNOWN ToUnknown, ULONG ToPin) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection");
    PortBase* from = host::RegisteredPort(DeviceObject, FromUnknown, FromPin);
    PortBase* to = host::RegisteredPort(DeviceObject, ToUnknown, ToPin);
    if (from == nullptr || to == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PortClass& library = Machine::Current().Get<PortClass>();
    std::lock_guard<host::Lock> hold(library.lock);
    PortClass::Device* record = library.FindDevice(DeviceObject);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    record->connections.push_back(host::PhysicalConnection{from->name, FromPin, to->name, ToPin});
    return STATUS_SUCCESS;
}
