// Load, device addition and start, and unload. The port-class library owns the driver object;
// the driver replaces the create, close and device-control entries with its own hooks (which
// hand anything that is not a transport file back to the library) and chains the unload.
#include "DriverEntry.h"

#include "adapter/AdapterCommon.h"
#include "adapter/DispatchHooks.h"
#include "support/Memory.h"
#include "support/Startup.h"
#include "transport/TransportProtocol.h"

namespace {

// The private interface through which the client reaches the driver.
const GUID TransportInterfaceClass = {
    transport::InterfaceClass.data1,
    transport::InterfaceClass.data2,
    transport::InterfaceClass.data3,
    {transport::InterfaceClass.data4[0], transport::InterfaceClass.data4[1],
     transport::InterfaceClass.data4[2], transport::InterfaceClass.data4[3],
     transport::InterfaceClass.data4[4], transport::InterfaceClass.data4[5],
     transport::InterfaceClass.data4[6], transport::InterfaceClass.data4[7]}};

// Load-time globals, all null at load.
DriverContext* driverContext;
AdapterCommon* adapterCommon;
PDRIVER_UNLOAD PortClsUnload;

// The most subdevice objects the port-class library keeps for the device: the topology and
// WaveRT filters of both directions.
constexpr ULONG MaximumSubdevices = 4;

} // namespace

AdapterCommon* PublishedAdapter() { return adapterCommon; }
DriverContext* PublishedDriverContext() { return driverContext; }

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    if (!LibraryStartup()) {
        status = STATUS_UNSUCCESSFUL;
    } else if (GetOsVersion() < OsVersionVista) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        RunStaticConstructors();
        driverContext = static_cast<DriverContext*>(AllocateMemory(sizeof(DriverContext)));
        if (driverContext == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            driverContext->deviceAdded = FALSE;
            driverContext->physicalDeviceObject = nullptr;
            RtlInitUnicodeString(&driverContext->interfaceLinkName, nullptr);

            status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
            if (NT_SUCCESS(status)) {
                PortClsUnload = driverObject->DriverUnload;
                driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
                driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
                driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
                driverObject->DriverUnload = DriverUnload;
                // Any success status completes the load: with the hooks installed the driver
                // must stay loaded with its context, never with the context freed.
                return status;
            }
        }
    }
    DriverTeardown();
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    if (driverContext->deviceAdded) {
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    driverContext->physicalDeviceObject = physicalDeviceObject;
    NTSTATUS status = IoRegisterDeviceInterface(physicalDeviceObject, &TransportInterfaceClass,
                                                nullptr, &driverContext->interfaceLinkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, MaximumSubdevices,
                                0);
    if (NT_SUCCESS(status)) {
        driverContext->deviceAdded = TRUE;
    }
    return status;
}

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT deviceObject, PIRP startIrp, PRESOURCELIST resources) {
    if (adapterCommon != nullptr) {
        // One adapter object per load: a restart would leave the first object's subdevices and
        // workers behind, so it is refused and the running object stays as it is.
        return STATUS_INVALID_DEVICE_STATE;
    }
    adapterCommon = new AdapterCommon();
    if (adapterCommon == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapterCommon->PrimaryInterface()->AddRef();

    NTSTATUS status = adapterCommon->Init(deviceObject, resources);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = adapterCommon->CreateSubdevices(startIrp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only a complete start opens the private interface to clients.
    IoSetDeviceInterfaceState(&driverContext->interfaceLinkName, TRUE);
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject) {
    PortClsUnload(driverObject);
    DriverTeardown();
}

VOID DriverTeardown() {
    if (adapterCommon != nullptr) {
        adapterCommon->PrimaryInterface()->Release();
        adapterCommon = nullptr;
    }
    if (driverContext != nullptr) {
        if (driverContext->interfaceLinkName.Length != 0) {
            IoSetDeviceInterfaceState(&driverContext->interfaceLinkName, FALSE);
            RtlFreeUnicodeString(&driverContext->interfaceLinkName);
        }
        FreeMemory(driverContext);
        driverContext = nullptr;
    }
    LibraryShutdown();
}
