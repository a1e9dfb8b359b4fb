// Host backend: each call enters the host platform in the client process's context.
#include "HostBackend.h"

#include <algorithm>

#include "TransportProtocol.h"
#include "kernel/Process.h"
#include "kernel/Timekeeper.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace conduit {

namespace {

HANDLE ToHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

// A duration in the kernel's 100 ns units. Negative is 0 (a poll); the longest is the longest
// finite wait the Win32 backend can ask for, so both backends time out alike.
LONGLONG RelativeUnits(std::chrono::microseconds duration) {
    constexpr std::chrono::microseconds Longest = std::chrono::milliseconds(0xFFFFFFFEll);
    return std::clamp(duration, std::chrono::microseconds(0), Longest).count() * 10;
}

} // namespace

std::vector<std::u16string> HostBackend::InterfacePaths() {
    host::ProcessScope scope(&process_);
    return host::user::GetDeviceInterfacePaths(transport::InterfaceClassAs<GUID>());
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

// Events live in the client process's handle table, so the handle value the driver receives
// names them exactly as a Windows handle would.
Status HostBackend::CreateEvent(Handle* event) {
    host::ProcessScope scope(&process_);
    HANDLE handle = host::user::CreateEvent(false, false);
    if (handle == nullptr) {
        *event = InvalidHandle;
        return Status(host::user::LastStatus(), "the event could not be created");
    }
    *event = reinterpret_cast<std::uintptr_t>(handle);
    return Status::Ok();
}

// The time-out goes to the kernel in its own 100 ns units, so that a wait shorter than a
// millisecond stays that short: a period of 96 frames or less at 48 kHz needs that.
WaitResult HostBackend::WaitEvent(Handle event, std::chrono::microseconds timeout) {
    host::ProcessScope scope(&process_);
    LARGE_INTEGER relative;
    relative.QuadPart = -RelativeUnits(timeout);
    switch (host::user::NtWaitForSingleObject(ToHandle(event), FALSE, &relative)) {
    case STATUS_SUCCESS:
        return WaitResult::Signalled;
    case STATUS_TIMEOUT:
        return WaitResult::TimedOut;
    default:
        return WaitResult::Failed;
    }
}

Status HostBackend::SignalEvent(Handle event) {
    host::ProcessScope scope(&process_);
    if (!host::user::SetEvent(ToHandle(event))) {
        return Status(host::user::LastStatus(), "the event could not be set");
    }
    return Status::Ok();
}

Status HostBackend::CloseEvent(Handle event) {
    host::ProcessScope scope(&process_);
    if (!host::user::CloseHandle(ToHandle(event))) {
        return Status(host::user::LastStatus(), "the event handle was not open");
    }
    return Status::Ok();
}

bool HostBackend::Is32Bit() {
    return process_.is32Bit;
}

// The machine's time, so that a test machine's virtual clock also runs the client's.
std::chrono::microseconds HostBackend::Now() {
    return std::chrono::microseconds(host::InterruptTime() / 10);
}

// A kernel delay, as Sleep is on Windows, so that it too ends on the machine's clock.
void HostBackend::Sleep(std::chrono::microseconds duration) {
    if (duration.count() <= 0) {
        return;
    }
    host::ProcessScope scope(&process_);
    LARGE_INTEGER relative;
    relative.QuadPart = -RelativeUnits(duration);
    KeDelayExecutionThread(UserMode, FALSE, &relative);
}

} // namespace conduit
