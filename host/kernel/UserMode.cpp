// User-mode file calls: name resolution through device interfaces, the handle table of the
// calling process, and the I/O manager's create, device-control and close paths.
#include "UserMode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DeviceInterfaces.h"
#include "IoManager.h"
#include "Irql.h"
#include "Process.h"

namespace host::user {

namespace {

thread_local NTSTATUS lastStatus = STATUS_SUCCESS;

// A new system buffer is filled with this, so a driver that hands back bytes it never wrote
// returns garbage rather than zeros.
constexpr unsigned char SystemBufferFill = 0xB5;

Process& CallingProcess(const char* call) {
    RequireIrqlAtMost(PASSIVE_LEVEL, call);
    Process* process = CurrentProcess();
    if (process == nullptr || !process->IsAlive()) {
        std::fprintf(stderr, "host: %s called outside a live user-mode process\n", call);
        std::abort();
    }
    return *process;
}

std::shared_ptr<FileRecord> FileOf(Process& process, HANDLE handle) {
    return std::dynamic_pointer_cast<FileRecord>(process.Handles().Lookup(handle));
}

HANDLE Fail(NTSTATUS status) {
    lastStatus = status;
    return INVALID_HANDLE_VALUE;
}

HANDLE OpenFile(Process& process, const std::shared_ptr<FileRecord>& file) {
    NTSTATUS status = Machine::Current().Get<IoManager>().Open(file);
    if (!NT_SUCCESS(status)) {
        return Fail(status);
    }
    lastStatus = status;
    return process.Handles().Insert(file);
}

} // namespace

NTSTATUS LastStatus() {
    return lastStatus;
}

void SetLastStatus(NTSTATUS status) {
    lastStatus = status;
}

HANDLE CreateFile(const std::u16string& path) {
    Process& process = CallingProcess("CreateFile");
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    if (!Machine::Current().Get<DeviceInterfaces>().Resolve(path, &device, &remainder)) {
        return Fail(STATUS_OBJECT_NAME_NOT_FOUND);
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    return OpenFile(process, io.NewFile(device, remainder, nullptr));
}

HANDLE CreateFileRelative(HANDLE parent, const std::u16string& name) {
    Process& process = CallingProcess("CreateFileRelative");
    std::shared_ptr<FileRecord> related = FileOf(process, parent);
    if (!related) {
        return Fail(STATUS_INVALID_HANDLE);
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    return OpenFile(process, io.NewFile(related->device, name, related));
}

BOOL DeviceIoControl(HANDLE handle, ULONG ioControlCode, const void* inputBuffer,
                     ULONG inputBufferLength, void* outputBuffer, ULONG outputBufferLength,
                     ULONG* bytesReturned, NTSTATUS* status) {
    Process& process = CallingProcess("DeviceIoControl");
    NTSTATUS result = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::shared_ptr<FileRecord> file = FileOf(process, handle);
    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (!file) {
        result = STATUS_INVALID_HANDLE;
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        std::fprintf(stderr, "host: DeviceIoControl 0x%08X: direct I/O is not supported\n",
                     ioControlCode);
        std::abort();
    } else {
        IoManager& io = Machine::Current().Get<IoManager>();
        file->Reference();
        PDEVICE_OBJECT top = IoManager::TopOfStack(file->device);
        PIRP irp = io.AllocateIrp(top->StackSize, &process);
        irp->Tail.Overlay.OriginalFileObject = &file->object;
        irp->UserBuffer = outputBuffer;
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
        location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        location->FileObject = &file->object;
        location->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        location->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
        location->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
        std::vector<unsigned char> systemBuffer;
        if (method == METHOD_BUFFERED) {
            systemBuffer.assign(std::max(inputBufferLength, outputBufferLength), SystemBufferFill);
            if (inputBufferLength != 0) {
                std::memcpy(systemBuffer.data(), inputBuffer, inputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = systemBuffer.empty() ? nullptr : systemBuffer.data();
        } else {
            location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(inputBuffer);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        result = io.Send(top, irp);
        information = NT_ERROR(result) ? 0 : irp->IoStatus.Information;
        if (method == METHOD_BUFFERED && information > outputBufferLength) {
            io.Report("device control " + StatusText(static_cast<NTSTATUS>(ioControlCode)) +
                      " completed with Information " + std::to_string(information) +
                      ", more than the caller's output buffer of " +
                      std::to_string(outputBufferLength) + " bytes");
            information = outputBufferLength;
        }
        if (method == METHOD_BUFFERED && information != 0) {
            std::memcpy(outputBuffer, systemBuffer.data(), information);
        }
        io.FreeIrp(irp);
        file->Dereference();
    }
    lastStatus = result;
    if (status != nullptr) {
        *status = result;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<ULONG>(information);
    }
    return NT_SUCCESS(result) ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE handle) {
    Process& process = CallingProcess("CloseHandle");
    if (!CloseHandleIn(process.Handles(), handle, &process)) {
        lastStatus = STATUS_INVALID_HANDLE;
        return FALSE;
    }
    lastStatus = STATUS_SUCCESS;
    return TRUE;
}

std::vector<std::u16string> GetDeviceInterfacePaths(const GUID& interfaceClass) {
    return Machine::Current().Get<DeviceInterfaces>().EnabledPaths(interfaceClass);
}

NTSTATUS GetDeviceInterfaceProperty(const std::u16string& path, const DEVPROPKEY& key,
                                    DEVPROPTYPE* type, void* buffer, ULONG* size) {
    CallingProcess("GetDeviceInterfaceProperty");
    DeviceInterfaces& interfaces = Machine::Current().Get<DeviceInterfaces>();
    const std::u16string link = interfaces.LinkOfPath(path);
    if (link.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG required = 0;
    const NTSTATUS status =
        interfaces.GetProperty(link, key, LOCALE_NEUTRAL, *size, buffer, &required, type);
    *size = required;
    return status;
}

} // namespace host::user
