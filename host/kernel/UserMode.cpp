// User-mode file calls: name resolution through device interfaces and device names, the handle
// table of the calling process, and the I/O manager's create, device-control, close and other
// request paths.
#include "UserMode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DeviceInterfaces.h"
#include "IoManager.h"
#include "Irql.h"
#include "Objects.h"
#include "Process.h"

namespace host::user {

namespace {

__thread NTSTATUS lastStatus = STATUS_SUCCESS;

// A new system buffer is filled with this, so a driver that hands back bytes it never wrote
// returns garbage rather than zeros.
constexpr unsigned char SystemBufferFill = 0xB5;

[[noreturn, gnu::cold]] void RefuseOutsideProcess(const char* call) {
    std::fprintf(stderr, "host: %s called outside a user-mode process\n", call);
    std::abort();
}

// The calling thread's process, or null when it has exited: a thread of an exited process is
// gone on Windows, so its call never reaches the kernel. A call outside any process is a bug of
// the test and stops it.
inline Process* CallingProcess(const char* call) {
    RequireIrqlAtMost(PASSIVE_LEVEL, call);
    Process* process = CurrentProcess();
    if (process == nullptr) {
        RefuseOutsideProcess(call);
    }
    if (!process->IsAlive()) {
        lastStatus = STATUS_PROCESS_IS_TERMINATING;
        return nullptr;
    }
    return process;
}

// The file handle names in process, held in found; false for a handle that names no file.
inline bool FindFile(Process& process, HANDLE handle, HandleTable::Named* found) {
    return process.Handles().Lookup(handle, found) && found->type == FileObjectType();
}

std::shared_ptr<FileRecord> FileOf(Process& process, HANDLE handle) {
    HandleTable::Named named;
    if (!FindFile(process, handle, &named)) {
        return nullptr;
    }
    return std::static_pointer_cast<FileRecord>(std::move(named.object));
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

// "\Device\NAME\rest" (or "\\?\GLOBALROOT\Device\NAME\rest"): the named device and "\rest".
bool ResolveDeviceName(std::u16string path, PDEVICE_OBJECT* device, std::u16string* remainder) {
    const std::u16string globalRoot = u"\\\\?\\GLOBALROOT";
    if (path.compare(0, globalRoot.size(), globalRoot) == 0) {
        path.erase(0, globalRoot.size());
    }
    const std::u16string prefix = u"\\Device\\";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const size_t end = path.find(u'\\', prefix.size());
    *device = Machine::Current().Get<IoManager>().FindNamedDevice(path.substr(0, end));
    *remainder = end == std::u16string::npos ? std::u16string() : path.substr(end);
    return *device != nullptr;
}

// Sends one request of kind major on handle's file and waits for it, the way a system service
// does: the file is referenced while the request runs. systemBytes(top) is the size of the
// system buffer the request needs on the device at the top of the file's stack (0: none);
// fill(irp, location) sets the request's parameters; finish(irp, information) runs once it is
// completed, before the IRP and its system buffer are freed.
template <class SystemBytes, class Fill, class Finish>
NTSTATUS SendRequest(HANDLE handle, UCHAR major, const char* call, const SystemBytes& systemBytes,
                     const Fill& fill, const Finish& finish) {
    Process* process = CallingProcess(call);
    if (process == nullptr) {
        return lastStatus;
    }
    HandleTable::Named named;
    if (!FindFile(*process, handle, &named)) {
        return lastStatus = STATUS_INVALID_HANDLE;
    }
    auto* file = static_cast<FileRecord*>(named.object.get());
    IoManager& io = Machine::Current().Get<IoManager>();
    file->Reference();
    PDEVICE_OBJECT top = IoManager::TopOfStack(file->device);
    IoManager::IrpRecord* record = nullptr;
    PIRP irp = io.AllocateIrp(top->StackSize, process, systemBytes(top), &record);
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->FileObject = &file->object;
    fill(irp, location);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS result = io.Send(top, irp, record);
    finish(irp, NT_ERROR(result) ? 0 : irp->IoStatus.Information);
    io.FreeIrp(irp, record);
    file->Dereference();
    return lastStatus = result;
}

// The request's system buffer of length bytes, filled so that a driver that hands back bytes
// it never wrote returns garbage rather than zeros.
unsigned char* FillSystemBuffer(PIRP irp, ULONG length) {
    auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
    if (length != 0) { // a request with no bytes either way has no system buffer
        std::memset(buffer, SystemBufferFill, length);
    }
    return buffer;
}

bool IsBuffered(PDEVICE_OBJECT device) {
    return (device->Flags & DO_BUFFERED_IO) != 0;
}

// A read or write: buffered on a DO_BUFFERED_IO device, else the caller's buffer as it is.
NTSTATUS Transfer(HANDLE handle, UCHAR major, void* buffer, ULONG length, ULONG* information) {
    const char* call = major == IRP_MJ_READ ? "ReadFile" : "WriteFile";
    ULONG_PTR done = 0;
    NTSTATUS status = SendRequest(
        handle, major, call, [&](PDEVICE_OBJECT top) { return IsBuffered(top) ? length : 0; },
        [&](PIRP irp, PIO_STACK_LOCATION location) {
            PDEVICE_OBJECT device = IoManager::TopOfStack(location->FileObject->DeviceObject);
            const bool buffered = IsBuffered(device);
            if (!buffered && (device->Flags & DO_DIRECT_IO) != 0 && length != 0) {
                std::fprintf(stderr,
                             "host: %s of %u bytes on a direct-I/O device: the host builds no MDL "
                             "over a caller's buffer\n",
                             call, length);
                std::abort();
            }
            if (buffered && length != 0) {
                unsigned char* system = FillSystemBuffer(irp, length);
                if (major == IRP_MJ_WRITE) {
                    std::memcpy(system, buffer, length);
                }
            }
            irp->UserBuffer = buffer;
            location->Parameters.Read.Length = length; // Write has the same layout
        },
        [&](PIRP irp, ULONG_PTR information) {
            done = information;
            if (major == IRP_MJ_READ && irp->AssociatedIrp.SystemBuffer != nullptr && done != 0) {
                std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer,
                            std::min<ULONG_PTR>(done, length));
            }
        });
    if (information != nullptr) {
        *information = static_cast<ULONG>(done);
    }
    return status;
}

} // namespace

NTSTATUS LastStatus() {
    return lastStatus;
}

void SetLastStatus(NTSTATUS status) {
    lastStatus = status;
}

HANDLE CreateFile(const std::u16string& path) {
    Process* process = CallingProcess("CreateFile");
    if (process == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    if (!ResolveDeviceName(path, &device, &remainder) &&
        !Machine::Current().Get<DeviceInterfaces>().Resolve(path, &device, &remainder)) {
        return Fail(STATUS_OBJECT_NAME_NOT_FOUND);
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    return OpenFile(*process, io.NewFile(device, remainder, nullptr));
}

HANDLE CreateFileRelative(HANDLE parent, const std::u16string& name) {
    Process* process = CallingProcess("CreateFileRelative");
    if (process == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<FileRecord> related = FileOf(*process, parent);
    if (!related) {
        return Fail(STATUS_INVALID_HANDLE);
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    return OpenFile(*process, io.NewFile(related->device, name, related));
}

BOOL DeviceIoControl(HANDLE handle, ULONG ioControlCode, const void* inputBuffer,
                     ULONG inputBufferLength, void* outputBuffer, ULONG outputBufferLength,
                     ULONG* bytesReturned, NTSTATUS* status) {
    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        std::fprintf(stderr, "host: DeviceIoControl 0x%08X: direct I/O is not supported\n",
                     ioControlCode);
        std::abort();
    }
    const ULONG systemBytes =
        method == METHOD_BUFFERED ? std::max(inputBufferLength, outputBufferLength) : 0;
    ULONG_PTR information = 0;
    NTSTATUS result = SendRequest(
        handle, IRP_MJ_DEVICE_CONTROL, "DeviceIoControl",
        [&](PDEVICE_OBJECT) { return systemBytes; },
        [&](PIRP irp, PIO_STACK_LOCATION location) {
            irp->UserBuffer = outputBuffer;
            location->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
            location->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
            location->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
            if (method == METHOD_BUFFERED) {
                unsigned char* system = FillSystemBuffer(irp, systemBytes);
                if (inputBufferLength != 0) {
                    std::memcpy(system, inputBuffer, inputBufferLength);
                }
            } else {
                location->Parameters.DeviceIoControl.Type3InputBuffer =
                    const_cast<void*>(inputBuffer);
            }
        },
        [&](PIRP irp, ULONG_PTR done) {
            information = done;
            if (method != METHOD_BUFFERED) {
                return;
            }
            if (information > outputBufferLength) {
                Machine::Current().Get<IoManager>().Report(
                    "device control " + StatusText(static_cast<NTSTATUS>(ioControlCode)) +
                    " completed with Information " + std::to_string(information) +
                    ", more than the caller's output buffer of " +
                    std::to_string(outputBufferLength) + " bytes");
                information = outputBufferLength;
            }
            if (information != 0) {
                std::memcpy(outputBuffer, irp->AssociatedIrp.SystemBuffer, information);
            }
        });
    if (status != nullptr) {
        *status = result;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<ULONG>(information);
    }
    return NT_SUCCESS(result) ? TRUE : FALSE;
}

NTSTATUS ReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* information) {
    return Transfer(handle, IRP_MJ_READ, buffer, length, information);
}

NTSTATUS WriteFile(HANDLE handle, const void* buffer, ULONG length, ULONG* information) {
    return Transfer(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length, information);
}

NTSTATUS FlushFileBuffers(HANDLE handle) {
    return SendRequest(
        handle, IRP_MJ_FLUSH_BUFFERS, "FlushFileBuffers", [](PDEVICE_OBJECT) { return 0u; },
        [](PIRP, PIO_STACK_LOCATION) {}, [](PIRP, ULONG_PTR) {});
}

NTSTATUS QueryInformationFile(HANDLE handle, void* buffer, ULONG length,
                              FILE_INFORMATION_CLASS informationClass) {
    return SendRequest(
        handle, IRP_MJ_QUERY_INFORMATION, "QueryInformationFile",
        [&](PDEVICE_OBJECT) { return length; },
        [&](PIRP irp, PIO_STACK_LOCATION location) {
            if (length != 0) {
                FillSystemBuffer(irp, length);
            }
            location->Parameters.QueryFile.Length = length;
            location->Parameters.QueryFile.FileInformationClass = informationClass;
        },
        [&](PIRP irp, ULONG_PTR information) {
            if (information != 0 && length != 0) {
                std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer,
                            std::min<ULONG_PTR>(information, length));
            }
        });
}

NTSTATUS SetInformationFile(HANDLE handle, const void* buffer, ULONG length,
                            FILE_INFORMATION_CLASS informationClass) {
    return SendRequest(
        handle, IRP_MJ_SET_INFORMATION, "SetInformationFile",
        [&](PDEVICE_OBJECT) { return length; },
        [&](PIRP irp, PIO_STACK_LOCATION location) {
            if (length != 0) {
                std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
            }
            location->Parameters.SetFile.Length = length;
            location->Parameters.SetFile.FileInformationClass = informationClass;
        },
        [](PIRP, ULONG_PTR) {});
}

NTSTATUS QuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information, void* buffer,
                             ULONG length, ULONG* needed) {
    ULONG_PTR returned = 0;
    NTSTATUS status = SendRequest(
        handle, IRP_MJ_QUERY_SECURITY, "QuerySecurityObject", [](PDEVICE_OBJECT) { return 0u; },
        [&](PIRP irp, PIO_STACK_LOCATION location) {
            irp->UserBuffer = buffer;
            location->Parameters.QuerySecurity.SecurityInformation = information;
            location->Parameters.QuerySecurity.Length = length;
        },
        [&](PIRP, ULONG_PTR done) { returned = done; });
    if (needed != nullptr) {
        *needed = static_cast<ULONG>(returned);
    }
    return status;
}

NTSTATUS SetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                           PSECURITY_DESCRIPTOR descriptor) {
    return SendRequest(
        handle, IRP_MJ_SET_SECURITY, "SetSecurityObject", [](PDEVICE_OBJECT) { return 0u; },
        [&](PIRP, PIO_STACK_LOCATION location) {
            location->Parameters.SetSecurity.SecurityInformation = information;
            location->Parameters.SetSecurity.SecurityDescriptor = descriptor;
        },
        [](PIRP, ULONG_PTR) {});
}

BOOL CloseHandle(HANDLE handle) {
    Process* process = CallingProcess("CloseHandle");
    if (process == nullptr) {
        return FALSE;
    }
    if (!CloseHandleIn(process->Handles(), handle, process)) {
        lastStatus = STATUS_INVALID_HANDLE;
        return FALSE;
    }
    lastStatus = STATUS_SUCCESS;
    return TRUE;
}

HANDLE DuplicateHandle(HANDLE handle, Process& target) {
    Process* process = CallingProcess("DuplicateHandle");
    if (process == nullptr) {
        return nullptr;
    }
    if (!target.IsAlive()) {
        lastStatus = STATUS_PROCESS_IS_TERMINATING;
        return nullptr;
    }
    HANDLE copy = ObjectManager::Current().Duplicate(process->Handles(), handle, target.Handles());
    lastStatus = copy != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    return copy;
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
