// Host backend: each call enters the host platform in the client process's context.
#include "HostBackend.h"

#include <thread>

#include "TransportProtocol.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"

namespace conduit {

namespace {

HANDLE ToHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

GUID InterfaceClassGuid() {
    const transport::InterfaceClassValue& value = transport::InterfaceClass;
    GUID guid;
    guid.Data1 = value.data1;
    guid.Data2 = value.data2;
    guid.Data3 = value.data3;
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = value.data4[i];
    }
    return guid;
}

} // namespace

std::vector<std::u16string> HostBackend::InterfacePaths() {
    host::ProcessScope scope(&process_);
    return host::user::GetDeviceInterfacePaths(InterfaceClassGuid());
}

Status HostBackend::OpenFile(const std::u16string& path, Handle* file) {
    host::ProcessScope scope(&process_);
    HANDLE handle = host::user::CreateFile(path);
    if (handle == INVALID_HANDLE_VALUE) {
        *file = InvalidHandle;
        return Status(host::user::LastStatus(), "the open request failed");
    }
    *file = reinterpret_cast<std::uintptr_t>(handle);
    return Status::Ok();
}

Status HostBackend::DeviceControl(Handle file, std::uint32_t code, const void* input,
                                  std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                                  std::uint32_t* returned) {
    host::ProcessScope scope(&process_);
    ULONG bytes = 0;
    NTSTATUS result = STATUS_SUCCESS;
    host::user::DeviceIoControl(ToHandle(file), code, input, inputBytes, output, outputBytes,
                                &bytes, &result);
    *returned = bytes;
    if (!NT_SUCCESS(result)) {
        return Status(result, "the driver refused control request " + StatusCodeText(code));
    }
    return Status(result, std::string());
}

Status HostBackend::CloseFile(Handle file) {
    host::ProcessScope scope(&process_);
    if (!host::user::CloseHandle(ToHandle(file))) {
        return Status(host::user::LastStatus(), "the handle was not open");
    }
    return Status::Ok();
}

// The host platform has no user-mode events yet. These three say so instead of pretending:
// Connection::Open fails at the event step with this status until they exist.
Status HostBackend::CreateEvent(Handle* event) {
    *event = InvalidHandle;
    return Status(status::NotImplemented, "the host platform has no user-mode events yet");
}

WaitResult HostBackend::WaitEvent(Handle, std::chrono::microseconds) {
    return WaitResult::Failed;
}

Status HostBackend::CloseEvent(Handle) {
    return Status(status::NotImplemented, "the host platform has no user-mode events yet");
}

bool HostBackend::Is32Bit() {
    return process_.is32Bit;
}

std::chrono::microseconds HostBackend::Now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void HostBackend::Sleep(std::chrono::microseconds duration) {
    std::this_thread::sleep_for(duration);
}

} // namespace conduit
