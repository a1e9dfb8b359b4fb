// Registration of an adapter's power-management interface: the library keeps one reference
// until the device is removed or the registration is withdrawn.
#include "PortClass.h"

#include "kernel/Irql.h"

using host::Machine;
using host::PortClass;

extern "C" NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown,
                                                           PDEVICE_OBJECT pvContext1) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement");
    PortClass& library = Machine::Current().Get<PortClass>();
    NTSTATUS status = library.TakeFault(host::PortClassCall::RegisterAdapterPowerManagement);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Unknown == nullptr || pvContext1 == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<host::Lock> hold(library.lock);
        if (library.FindDevice(pvContext1) == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    PADAPTERPOWERMANAGEMENT power = nullptr;
    status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (power == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERPOWERMANAGEMENT previous = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        PortClass::Device* device = library.FindDevice(pvContext1);
        previous = device->powerManagement;
        device->powerManagement = power;
    }
    if (previous != nullptr) {
        previous->Release();
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PcUnregisterAdapterPowerManagement(PDEVICE_OBJECT DeviceObject) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcUnregisterAdapterPowerManagement");
    PortClass& library = Machine::Current().Get<PortClass>();
    PADAPTERPOWERMANAGEMENT previous = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        PortClass::Device* device = library.FindDevice(DeviceObject);
        if (device == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        previous = device->powerManagement;
        device->powerManagement = nullptr;
    }
    if (previous != nullptr) {
        previous->Release();
    }
    return STATUS_SUCCESS;
}
