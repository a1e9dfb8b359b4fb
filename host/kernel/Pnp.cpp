// The PnP manager's sequence for one root-enumerated device: load, add, start, remove, unload.
#include "Pnp.h"

#include "DeviceInterfaces.h"
#include "IoManager.h"
#include "Irql.h"
#include "ProcessorBlock.h"

namespace host {

Pnp::~Pnp() = default;

LoadedDriver* Pnp::Load(PDRIVER_INITIALIZE entry, const std::u16string& service, NTSTATUS* status,
                        std::shared_ptr<void> image) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
    PrepareThreadForDriver();
    IoManager& io = Machine::Current().Get<IoManager>();
    auto driver = std::make_unique<LoadedDriver>();
    driver->image = std::move(image);
    driver->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    driver->driverObject = io.CreateDriverObject(u"\\Driver\\" + service);
    driver->driverObject->DriverInit = entry;
    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWSTR>(driver->registryPath.data());
    registryPath.Length = static_cast<USHORT>(driver->registryPath.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;
    *status = entry(driver->driverObject, &registryPath);
    if (!NT_SUCCESS(*status)) {
        io.DeleteDriverObject(driver->driverObject);
        return nullptr;
    }
    drivers.push_back(std::move(driver));
    return drivers.back().get();
}

NTSTATUS Pnp::AddDevice(LoadedDriver& driver, const std::u16string& deviceClass) {
    PDRIVER_ADD_DEVICE addDevice = driver.driverObject->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    PDEVICE_OBJECT physical = driver.physicalDevice;
    if (physical == nullptr) {
        physical = io.CreateRootDevice(deviceClass);
        driver.physicalDevice = physical;
    }
    PrepareThreadForDriver();
    NTSTATUS status = addDevice(driver.driverObject, physical);
    PDEVICE_OBJECT top = IoManager::TopOfStack(physical);
    if (NT_SUCCESS(status) && top != physical && (top->Flags & DO_DEVICE_INITIALIZING) != 0) {
        io.Report("AddDevice left DO_DEVICE_INITIALIZING set on its device object");
    }
    return status;
}

NTSTATUS Pnp::SendPnp(LoadedDriver& driver, UCHAR minorFunction) {
    IoManager& io = Machine::Current().Get<IoManager>();
    PDEVICE_OBJECT top = IoManager::TopOfStack(driver.physicalDevice);
    PIRP irp = io.AllocateIrp(top->StackSize, nullptr);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_PNP;
    location->MinorFunction = minorFunction;
    if (minorFunction == IRP_MN_START_DEVICE) {
        location->Parameters.StartDevice.AllocatedResources = &emptyResources;
        location->Parameters.StartDevice.AllocatedResourcesTranslated = &emptyResources;
    }
    // Every PnP request starts out as not supported, so a driver that passes over one it does
    // not handle leaves that answer.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = io.Send(top, irp);
    io.FreeIrp(irp);
    return status;
}

NTSTATUS Pnp::StartDevice(LoadedDriver& driver) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IRP_MN_START_DEVICE");
    if (driver.physicalDevice == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = SendPnp(driver, IRP_MN_START_DEVICE);
    driver.started = NT_SUCCESS(status);
    return status;
}

std::vector<std::string> Pnp::Unload(LoadedDriver& driver) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "DriverUnload");
    PrepareThreadForDriver();
    IoManager& io = Machine::Current().Get<IoManager>();
    if (driver.physicalDevice != nullptr) {
        size_t open = io.OpenFileCount(driver.physicalDevice);
        if (open != 0) {
            return {"unload refused: " + std::to_string(open) +
                    " file(s) still open on the device"};
        }
        Machine::Current().Get<DeviceInterfaces>().DisableAll(driver.physicalDevice);
        if (IoManager::TopOfStack(driver.physicalDevice) != driver.physicalDevice) {
            SendPnp(driver, IRP_MN_REMOVE_DEVICE);
        }
        if (driver.physicalDevice->AttachedDevice != nullptr) {
            io.Report("IRP_MN_REMOVE_DEVICE left a device attached to the physical device");
            driver.physicalDevice->AttachedDevice = nullptr;
        }
        io.DeleteDevice(driver.physicalDevice);
        driver.physicalDevice = nullptr;
    }
    if (driver.driverObject->DriverUnload == nullptr) {
        io.Report("driver has no unload routine: Windows would never unload it");
    } else {
        driver.driverObject->DriverUnload(driver.driverObject);
    }
    io.DeleteDriverObject(driver.driverObject);
    driver.driverObject = nullptr;
    driver.image.reset();
    for (auto it = drivers.begin(); it != drivers.end(); ++it) {
        if (it->get() == &driver) {
            drivers.erase(it);
            break;
        }
    }
    return Machine::Current().Verify();
}

} // namespace host
