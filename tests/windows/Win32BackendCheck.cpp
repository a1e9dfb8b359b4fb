// The client's Win32 backend on the real Win32 API, run under Wine by `make test-windows`:
// error mapping from real failures, the auto-reset event and its waits, exclusive opens, the
// clock. No driver is installed there, so the device's own requests are left to Windows.
#include <cstdio>
#include <string>

#include "Win32Backend.h"
#include "conduit/Client.h"

#include <windows.h>

// The backend's member, not the Win32 macro.
#undef CreateEvent

namespace {

int failures = 0;

void Check(bool condition, const char* what, const std::string& detail = std::string()) {
    std::printf("%s %s%s%s\n", condition ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ",
                detail.c_str());
    if (!condition) {
        ++failures;
    }
}

std::u16string TempFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + name;
    return std::u16string(path.begin(), path.end());
}

DWORD WINAPI SetLater(void* event) {
    ::Sleep(50);
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

void Files(conduit::Win32Backend& backend) {
    conduit::Handle file = 0;
    conduit::Status status = backend.OpenFile(TempFile(L"conduit-no-such-file.bin"), &file);
    Check(status.code() == static_cast<std::int32_t>(0xC0000034),
          "a missing file is STATUS_OBJECT_NAME_NOT_FOUND", status.ToString());
    Check(file == conduit::InvalidHandle, "and leaves no handle");

    const std::u16string path = TempFile(L"conduit-backend-check.bin");
    HANDLE created = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_WRITE, 0,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(created);
    status = backend.OpenFile(path, &file);
    Check(status.ok(), "an existing file opens", status.ToString());
    conduit::Handle second = 0;
    const conduit::Status shared = backend.OpenFile(path, &second);
    Check(!shared.ok() && shared.message().find("Win32 error 32") != std::string::npos,
          "a second open of an exclusively open file fails with the sharing violation",
          shared.ToString());

    std::uint32_t returned = 99;
    const std::uint32_t input = 1;
    const conduit::Status control =
        backend.DeviceControl(file, 0x22A408, &input, sizeof input, nullptr, 0, &returned);
    Check(!control.ok() && control.message().find("0x0022A408") != std::string::npos,
          "a control request a plain file does not know fails and names the request",
          control.ToString());
    Check(returned == 0, "and reports no bytes");

    Check(backend.CloseFile(file).ok(), "the file closes");
    const conduit::Status again = backend.CloseFile(file);
    Check(again.code() == static_cast<std::int32_t>(0xC0000008),
          "closing it again is STATUS_INVALID_HANDLE", again.ToString());
    DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
}

void Events(conduit::Win32Backend& backend) {
    using std::chrono::microseconds;
    conduit::Handle event = 0;
    Check(backend.CreateEvent(&event).ok(), "an event is created");
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(event));
    Check(backend.WaitEvent(event, microseconds(1)) == conduit::WaitResult::TimedOut,
          "it starts unsignalled; a 1 us wait times out rather than failing");
    SetEvent(handle);
    Check(backend.WaitEvent(event, microseconds(0)) == conduit::WaitResult::Signalled,
          "a set event is seen");
    Check(backend.WaitEvent(event, microseconds(0)) == conduit::WaitResult::TimedOut,
          "and resets itself with that wait");
    HANDLE thread = CreateThread(nullptr, 0, SetLater, handle, 0, nullptr);
    Check(backend.WaitEvent(event, std::chrono::seconds(30)) == conduit::WaitResult::Signalled,
          "a wait ends when another thread sets the event");
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Check(backend.CloseEvent(event).ok(), "the event closes");
    Check(backend.WaitEvent(event, microseconds(0)) == conduit::WaitResult::Failed,
          "a wait on a closed event fails");
}

void Time(conduit::Win32Backend& backend) {
    const auto first = backend.Now();
    backend.Sleep(std::chrono::microseconds(2000));
    const auto second = backend.Now();
    Check(second > first, "time moves on across a sleep");
    Check(!backend.Is32Bit(), "a 64-bit build sends the 8-byte request forms");
}

void Connect(conduit::Win32Backend& backend) {
    const std::vector<std::u16string> paths = backend.InterfacePaths();
    Check(paths.empty(), "the interface lookup runs and finds no driver here");
    std::unique_ptr<conduit::Connection> connection;
    const conduit::Status status =
        conduit::Connection::Open(backend, conduit::Direction::Capture, &connection);
    Check(status.code() == static_cast<std::int32_t>(0xC0000034) && connection == nullptr,
          "connecting without a driver says so", status.ToString());
}

} // namespace

int main() {
    conduit::Win32Backend backend;
    Files(backend);
    Events(backend);
    Time(backend);
    Connect(backend);
    std::printf("%s\n", failures == 0 ? "win32 backend: all checks passed"
                                      : "win32 backend: checks FAILED");
    return failures == 0 ? 0 : 1;
}
