// PcDispatchIrp: the library's answer to every request an adapter driver hands it. It serves
// the files of its subdevices, starts, powers and removes the adapter device, refuses what it
// does not know as the library does, and completes every IRP it is given. A request on a file
// it did not create stops the machine: kernel streaming finds its object header through the
// file object, and a foreign file has none.
#include "PortClass.h"

#include "kernel/BugCheck.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/Irql.h"

using host::Machine;
using host::PortClass;

namespace {

[[noreturn]] void RefuseForeignFile(PIRP irp, PFILE_OBJECT file) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION),
                   reinterpret_cast<ULONG_PTR>(file), reinterpret_cast<ULONG_PTR>(irp), 0,
                   std::string("PcDispatchIrp: ") + host::MajorFunctionName(major) +
                       (file == nullptr
                            ? std::string(" names no file object")
                            : " names the file object \"" +
                                  host::ToUtf8(host::FromUnicodeString(&file->FileName)) + "\"") +
                       ", which the port-class library did not create: kernel streaming "
                       "reads an object header through the file object that it does not have");
}

// Whether a request of this kind names a file the library must know.
bool NamesAFile(UCHAR major) {
    return major != IRP_MJ_CREATE && major != IRP_MJ_PNP && major != IRP_MJ_POWER &&
           major != IRP_MJ_SYSTEM_CONTROL;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The start routine gets a resource list that lives as long as the device does, so a driver
// may keep it without a reference of its own.
NTSTATUS StartDevice(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PCPFNSTARTDEVICE start = nullptr;
    PRESOURCELIST resources = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        PortClass::Device* record = library.FindDevice(device);
        start = record->startDevice;
        if (record->resources == nullptr) {
            record->resources =
                host::NewResourceList(location->Parameters.StartDevice.AllocatedResourcesTranslated,
                                      location->Parameters.StartDevice.AllocatedResources);
        }
        resources = record->resources;
        record->starts++;
    }
    return Complete(irp, start(device, irp, resources));
}

NTSTATUS RemoveDevice(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        lower = library.FindDevice(device)->lowerDevice;
    }
    library.ForgetDevice(device);
    Complete(irp, STATUS_SUCCESS);
    if (lower != nullptr) {
        IoDetachDevice(lower);
    }
    IoDeleteDevice(device);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPnp(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(library, device, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(library, device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return Complete(irp, STATUS_SUCCESS);
    default:
        // Not the function driver's business: the bus driver below leaves the status as is.
        return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS DispatchPower(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PADAPTERPOWERMANAGEMENT power = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        power = library.FindDevice(device)->powerManagement;
        if (power != nullptr) {
            power->AddRef();
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    const bool deviceState = location->Parameters.Power.Type == DevicePowerState;
    if (location->MinorFunction == IRP_MN_SET_POWER) {
        if (deviceState && power != nullptr) {
            power->PowerChangeState(location->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
    } else if (location->MinorFunction == IRP_MN_QUERY_POWER) {
        status = deviceState && power != nullptr
                     ? power->QueryPowerChangeState(location->Parameters.Power.State)
                     : STATUS_SUCCESS;
    }
    if (power != nullptr) {
        power->Release();
    }
    return Complete(irp, status);
}

// The reference string a create names: its first path element ("\wave_r\..." -> "wave_r").
std::u16string ReferenceString(PFILE_OBJECT file) {
    std::u16string name = host::FromUnicodeString(&file->FileName);
    if (!name.empty() && name[0] == u'\\') {
        name.erase(0, 1);
    }
    return name.substr(0, name.find(u'\\'));
}

NTSTATUS DispatchCreate(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::unique_ptr<host::PortClassFile> created;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (file->RelatedFileObject != nullptr) {
        host::PortClassFile* parent = nullptr;
        {
            std::lock_guard<host::Lock> hold(library.lock);
            PortClass::Device* record = library.FindDevice(device);
            auto found = record->files.find(file->RelatedFileObject);
            parent = found == record->files.end() ? nullptr : found->second.get();
        }
        if (parent == nullptr) {
            RefuseForeignFile(irp, file->RelatedFileObject);
        }
        status = parent->CreateChild(irp, &created);
    } else {
        const std::u16string name = ReferenceString(file);
        host::SubdeviceFactory factory;
        {
            std::lock_guard<host::Lock> hold(library.lock);
            for (const auto& subdevice : library.FindDevice(device)->subdevices) {
                if (host::EqualNoCase(subdevice.first, name)) {
                    factory = subdevice.second;
                }
            }
        }
        if (factory) {
            status = factory(irp, &created);
        }
    }
    if (NT_SUCCESS(status) && created) {
        std::lock_guard<host::Lock> hold(library.lock);
        library.FindDevice(device)->files[file] = std::move(created);
    }
    return Complete(irp, status);
}

NTSTATUS DispatchClose(PortClass& library, PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::unique_ptr<host::PortClassFile> served;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        PortClass::Device* record = library.FindDevice(device);
        auto found = record->files.find(file);
        if (found != record->files.end()) {
            served = std::move(found->second);
            record->EraseFile(found);
        }
    }
    if (!served) {
        RefuseForeignFile(irp, file);
    }
    served->Close();
    return Complete(irp, STATUS_SUCCESS);
}

// served: the file's object, which a device-control request's file must have (checked already).
NTSTATUS DispatchDeviceControl(host::PortClassFile* served, PIRP irp) {
    ULONG_PTR information = 0;
    NTSTATUS status = served->DeviceControl(irp, &information);
    return Complete(irp, status, information);
}

} // namespace

extern "C" NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp) {
    PortClass& library = Machine::Current().Get<PortClass>();
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(pIrp);
    // The device and the file's object, found under one hold of the library's lock.
    host::PortClassFile* served = nullptr;
    {
        std::lock_guard<host::Lock> hold(library.lock);
        PortClass::Device* record = library.FindDevice(pDeviceObject);
        if (record == nullptr) {
            return Complete(pIrp, STATUS_INVALID_DEVICE_REQUEST);
        }
        if (NamesAFile(location->MajorFunction) && location->FileObject != nullptr) {
            served = record->FindFile(location->FileObject);
            if (served == nullptr) {
                RefuseForeignFile(pIrp, location->FileObject);
            }
        }
    }
    switch (location->MajorFunction) {
    case IRP_MJ_CREATE:
        return DispatchCreate(library, pDeviceObject, pIrp);
    case IRP_MJ_CLOSE:
        return DispatchClose(library, pDeviceObject, pIrp);
    case IRP_MJ_CLEANUP:
        return Complete(pIrp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        if (served == nullptr) {
            RefuseForeignFile(pIrp, location->FileObject);
        }
        return DispatchDeviceControl(served, pIrp);
    case IRP_MJ_PNP:
        return DispatchPnp(library, pDeviceObject, pIrp);
    case IRP_MJ_POWER:
        return DispatchPower(library, pDeviceObject, pIrp);
    case IRP_MJ_SYSTEM_CONTROL:
        return Complete(pIrp, pIrp->IoStatus.Status, pIrp->IoStatus.Information);
    default:
        return Complete(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
