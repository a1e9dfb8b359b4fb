// Load, device addition and start, and unload. The port-class library fills the driver object;
// the driver puts its hooks in every entry (they hand anything that is not a transport file to
// the entry they replaced) and chains the unload.
#include "DriverEntry.h"

#include "adapter/AdapterCommon.h"
#include "adapter/DispatchHooks.h"
#include "support/Memory.h"
#include "support/Startup.h"
#include "transport/TransportProtocol.h"

namespace {

// The private interface through which the client reaches the driver.
constexpr GUID TransportInterfaceClass = transport::InterfaceClassAs<GUID>();

// Load-time globals, all null at load.
DriverContext* driverContext;
AdapterCommon* adapterCommon;
PDRIVER_UNLOAD PortClsUnload;

// The most subdevice objects the port-class library keeps for the device: the topology and
// WaveRT filters of both directions.
constexpr ULONG MaximumSubdevices = 4;

// Requests on other threads read the pointer while a start writes it.
VOID Publish(AdapterCommon* adapter) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&adapterCommon), adapter);
}

} // namespace

AdapterCommon* PublishedAdapter() {
    return static_cast<AdapterCommon*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&adapterCommon), nullptr, nullptr));
}
DriverContext* PublishedDriverContext() {
    return driverContext;
}

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
                InstallDispatchHooks(driverObject);
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
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, nullptr);
    NTSTATUS status =
        IoRegisterDeviceInterface(physicalDeviceObject, &TransportInterfaceClass, nullptr, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // An earlier AddDevice whose PcAddAdapterDevice failed left its link behind.
    if (driverContext->interfaceLinkName.Buffer != nullptr) {
        RtlFreeUnicodeString(&driverContext->interfaceLinkName);
    }
    driverContext->interfaceLinkName = link;
    status =
        PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, MaximumSubdevices, 0);
    if (NT_SUCCESS(status)) {
        driverContext->deviceAdded = TRUE;
    }
    return status;
}

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT deviceObject, PIRP startIrp, PRESOURCELIST resources) {
    if (PublishedAdapter() != nullptr) {
        // One adapter object per load: a restart would leave the first object's subdevices and
        // workers behind, so it is refused and the running object stays as it is.
        return STATUS_INVALID_DEVICE_STATE;
    }
    AdapterCommon* adapter = new AdapterCommon();
    if (adapter == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapter->PrimaryInterface()->AddRef();
    Publish(adapter);

    NTSTATUS status = adapter->Init(deviceObject, resources);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = adapter->CreateSubdevices(startIrp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only a complete start lets clients in: by the file names (which reach the device whether
    // or not an interface is enabled), then through the private interface.
    adapter->MarkStarted();
    IoSetDeviceInterfaceState(&driverContext->interfaceLinkName, TRUE);
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject) {
    if (PortClsUnload != nullptr) {
        PortClsUnload(driverObject);
    }
    DriverTeardown();
}

VOID DriverTeardown() {
    AdapterCommon* adapter = PublishedAdapter();
    if (adapter != nullptr) {
        Publish(nullptr);
        adapter->PrimaryInterface()->Release();
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
