// The echo driver: a plain WDM function driver over the host's root device.
#include "EchoDriver.h"

#include <gtest/gtest.h>

#include "kernel/IoManager.h"
#include "kernel/UserMode.h"

namespace echo {

const GUID InterfaceClass = {
    0xacc2f77f, 0x7e94, 0x4cfd, {0xa5, 0x94, 0xcf, 0xb7, 0x6b, 0x62, 0x28, 0x85}};

State* state = nullptr;

namespace {

PDEVICE_OBJECT lowerDevice = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::string ProcessName() {
    host::Process* process = host::CurrentProcess();
    return process != nullptr ? process->name : "system";
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = location->FileObject;
    state->log.push_back("create " + host::ToUtf8(host::FromUnicodeString(&file->FileName)) +
                         (file->RelatedFileObject != nullptr ? " (related)" : ""));
    if (NT_SUCCESS(state->createStatus)) {
        file->FsContext = reinterpret_cast<PVOID>(state->nextFileId++);
    }
    return Complete(irp, state->createStatus);
}

NTSTATUS NTAPI DispatchCleanupClose(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const char* what = location->MajorFunction == IRP_MJ_CLEANUP ? "cleanup " : "close ";
    state->log.push_back(
        what + std::to_string(reinterpret_cast<ULONG_PTR>(location->FileObject->FsContext)) +
        " in " + ProcessName());
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    state->controls.push_back(
        ControlSeen{in, out, IoIs32bitProcess(irp) != FALSE, buffer == nullptr,
                    reinterpret_cast<ULONG_PTR>(location->FileObject->FsContext)});
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IoctlEcho: {
        // The input reversed, as far as the output holds it.
        const ULONG count = in < out ? in : out;
        for (ULONG i = 0; i < count / 2; ++i) {
            UCHAR swap = buffer[i];
            buffer[i] = buffer[count - 1 - i];
            buffer[count - 1 - i] = swap;
        }
        return Complete(irp, STATUS_SUCCESS, count);
    }
    case IoctlFail:
        if (buffer != nullptr && out != 0) {
            buffer[0] = 0xEE;
        }
        return Complete(irp, STATUS_DEVICE_NOT_READY, out);
    case IoctlOverReport:
        return Complete(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(out) + 16);
    case IoctlCompleteTwice:
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    case IoctlForgetToComplete:
        return STATUS_SUCCESS;
    case IoctlReturnOtherStatus:
        Complete(irp, STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    case IoctlPend:
        IoMarkIrpPending(irp);
        __atomic_store_n(&state->pendingIrp, irp, __ATOMIC_RELEASE); // another thread completes it
        return STATUS_PENDING;
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        IoSetDeviceInterfaceState(&state->link, TRUE);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        IoSetDeviceInterfaceState(&state->link, FALSE);
        RtlFreeUnicodeString(&state->link);
        Complete(irp, STATUS_SUCCESS);
        IoDetachDevice(lowerDevice);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoRegisterDeviceInterface(physicalDevice, &InterfaceClass, nullptr, &state->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

} // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCleanupClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

host::LoadedDriver* Install(host::Pnp& pnp) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::LoadedDriver* driver = pnp.Load(DriverEntry, u"echo", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (driver == nullptr) {
        return nullptr;
    }
    EXPECT_EQ(pnp.AddDevice(*driver), STATUS_SUCCESS);
    EXPECT_EQ(pnp.StartDevice(*driver), STATUS_SUCCESS);
    return driver;
}

void EchoTest::SetUp() {
    state = &driverState;
    pnp = &machine.Get<host::Pnp>();
    driver = Install(*pnp);
    ASSERT_NE(driver, nullptr);
    std::vector<std::u16string> paths = host::user::GetDeviceInterfacePaths(InterfaceClass);
    ASSERT_EQ(paths.size(), 1u);
    interfacePath = paths[0];
    client64 = &machine.Get<host::Processes>().Create("client64", false);
    client32 = &machine.Get<host::Processes>().Create("client32", true);
}

void EchoTest::TearDown() {
    machine.Get<host::Processes>().Exit(*client64);
    machine.Get<host::Processes>().Exit(*client32);
    if (driver != nullptr) {
        pnp->Unload(*driver);
    }
    HostTest::TearDown();
    state = nullptr;
}

} // namespace echo
