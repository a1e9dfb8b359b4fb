// Library state, fault injection and the library's verifier checks.
#include "PortClass.h"

#include <algorithm>

#include "Port.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"

namespace host {

PortClass::~PortClass() = default;

void PortClass::InjectFault(PortClassCall call, NTSTATUS status, unsigned nth) {
    std::lock_guard<Lock> hold(lock);
    faults[call] = Fault{status, nth};
}

NTSTATUS PortClass::TakeFault(PortClassCall call) {
    std::lock_guard<Lock> hold(lock);
    auto found = faults.find(call);
    if (found == faults.end() || --found->second.countdown != 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = found->second.status;
    faults.erase(found);
    return status;
}

PortClass::Device* PortClass::FindOtherDevice(PDEVICE_OBJECT device) {
    auto found = devices.find(device);
    if (found == devices.end()) {
        return nullptr;
    }
    lastDevice = device;
    lastFound = &found->second;
    return lastFound;
}

NTSTATUS PortClass::AddSubdevice(PDEVICE_OBJECT device, const std::u16string& name,
                                 SubdeviceFactory factory) {
    std::lock_guard<Lock> hold(lock);
    Device* record = FindDevice(device);
    if (record == nullptr || name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    for (const auto& subdevice : record->subdevices) {
        if (EqualNoCase(subdevice.first, name)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    if (record->subdevices.size() >= record->maxObjects) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->subdevices.emplace_back(name, std::move(factory));
    return STATUS_SUCCESS;
}

void PortClass::RemoveSubdevice(PDEVICE_OBJECT device, const std::u16string& name) {
    std::lock_guard<Lock> hold(lock);
    if (Device* record = FindDevice(device)) {
        auto& list = record->subdevices;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&name](const auto& entry) { return entry.first == name; }),
                   list.end());
    }
}

std::vector<std::u16string> PortClass::SubdeviceNames(PDEVICE_OBJECT device) {
    std::lock_guard<Lock> hold(lock);
    std::vector<std::u16string> names;
    if (Device* record = FindDevice(device)) {
        for (const auto& subdevice : record->subdevices) {
            names.push_back(subdevice.first);
        }
    }
    return names;
}

std::vector<SubdeviceInterface> PortClass::Interfaces(PDEVICE_OBJECT device) {
    std::lock_guard<Lock> hold(lock);
    Device* record = FindDevice(device);
    return record == nullptr ? std::vector<SubdeviceInterface>{} : record->interfaces;
}

std::vector<PhysicalConnection> PortClass::Connections(PDEVICE_OBJECT device) {
    std::lock_guard<Lock> hold(lock);
    Device* record = FindDevice(device);
    return record == nullptr ? std::vector<PhysicalConnection>{} : record->connections;
}

void PortClass::ForgetDevice(PDEVICE_OBJECT device) {
    PADAPTERPOWERMANAGEMENT power = nullptr;
    PRESOURCELIST resources = nullptr;
    std::map<PFILE_OBJECT, std::unique_ptr<PortClassFile>> files;
    std::vector<PortBase*> ports;
    std::vector<PortBase*> registered;
    std::vector<SubdeviceInterface> interfaces;
    {
        std::lock_guard<Lock> hold(lock);
        Device* record = FindDevice(device);
        if (record == nullptr) {
            return;
        }
        power = record->powerManagement;
        resources = record->resources;
        files = std::move(record->files);
        record->lastFile = nullptr;
        ports = record->ports;
        registered = std::move(record->registeredPorts);
        interfaces = std::move(record->interfaces);
        // Holds every bound port until its children are gone, so none ends half-way.
        for (PortBase* port : ports) {
            port->AddRef();
        }
        devices.erase(device);
        if (lastDevice == device) {
            lastDevice = nullptr;
            lastFound = nullptr;
        }
    }
    // Released outside the lock: a release may destroy the adapter, which may call back.
    for (auto& file : files) {
        file.second->Close();
    }
    for (const SubdeviceInterface& entry : interfaces) {
        Machine::Current().Get<DeviceInterfaces>().SetState(entry.link, false);
    }
    for (PortBase* port : ports) {
        port->ReleaseChildren();
    }
    for (PortBase* port : ports) {
        port->Release();
    }
    for (PortBase* port : registered) {
        port->Release();
    }
    if (power != nullptr) {
        power->Release();
    }
    if (resources != nullptr) {
        resources->Release();
    }
}

void PortClass::Verify(std::vector<std::string>& problems) {
    IoManager& io = Machine::Current().Get<IoManager>();
    std::lock_guard<Lock> hold(lock);
    for (const auto& entry : drivers) {
        if (!entry.second.unloaded && !io.IsLiveDriver(entry.first)) {
            problems.push_back("the driver was unloaded without calling the port-class unload "
                               "routine that PcInitializeAdapterDriver installed");
        }
    }
    for (const auto& entry : devices) {
        if (!io.IsLiveDriver(entry.second.driver)) {
            problems.push_back("the port-class library still holds an adapter device of an "
                               "unloaded driver");
        }
    }
}

} // namespace host
