// Win32 backend. windows.h comes after the library's headers and its CreateEvent macro is
// undone, so that every file sees the same Backend members whatever it includes.
#include "Win32Backend.h"

#include "Win32BackendStatus.h"
#include "conduit/Clock.h"
#include "TransportProtocol.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <setupapi.h>

#undef CreateEvent

#include <algorithm>
#include <cstring>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace conduit {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows paths are UTF-16");

HANDLE ToHandle(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

Handle FromHandle(HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

// The system's text for a Win32 error, in UTF-8, without the trailing line break.
std::string ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                              0, nullptr, nullptr);
        if (bytes > 0) {
            result.resize(static_cast<std::size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], bytes,
                                nullptr, nullptr);
        }
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

Status Failure(DWORD error, const std::string& what) {
    std::string message = what + " (Win32 error " + std::to_string(error);
    const std::string text = ErrorText(error);
    if (!text.empty()) {
        message += ": " + text;
    }
    return Status(win32::StatusFromError(error), message + ")");
}

} // namespace

Win32Backend::~Win32Backend() {
    if (timer_ != nullptr) {
        CloseHandle(timer_);
    }
}

std::vector<std::u16string> Win32Backend::InterfacePaths() {
    std::vector<std::u16string> paths;
    const GUID guid = transport::InterfaceClassAs<GUID>();
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return paths;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
            break; // ERROR_NO_MORE_ITEMS, or nothing more can be listed
        }
        if ((data.Flags & SPINT_ACTIVE) == 0) {
            continue; // registered but not enabled: opening it would fail
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        // DWORD elements keep the detail record aligned as the structure needs.
        std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
            continue;
        }
        const std::size_t limit =
            (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
        const wchar_t* path = detail->DevicePath;
        const std::size_t length = std::find(path, path + limit, L'\0') - path;
        paths.emplace_back(reinterpret_cast<const char16_t*>(path), length);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

Status Win32Backend::OpenFile(const std::u16string& path, Handle* file) {
    HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *file = InvalidHandle;
        return Failure(GetLastError(), "the open request failed");
    }
    *file = FromHandle(handle);
    return Status::Ok();
}

Status Win32Backend::DeviceControl(Handle file, std::uint32_t code, const void* input,
                                   std::uint32_t inputBytes, void* output,
                                   std::uint32_t outputBytes, std::uint32_t* returned) {
    // A synchronous file: the call returns when the driver has completed the request. Only the
    // Win32 error comes back, so the driver's NTSTATUS is recovered as far as the mapping can.
    DWORD bytes = 0;
    const BOOL done = DeviceIoControl(ToHandle(file), code, const_cast<void*>(input), inputBytes,
                                      output, outputBytes, &bytes, nullptr);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    *returned = bytes;
    if (!done) {
        return Failure(error, "the driver refused control request " + StatusCodeText(code));
    }
    return Status::Ok();
}

Status Win32Backend::CloseFile(Handle file) {
    if (!CloseHandle(ToHandle(file))) {
        return Failure(GetLastError(), "the handle was not open");
    }
    return Status::Ok();
}

// Auto-reset, as the driver expects: each KeSetEvent wakes the client's one wait.
Status Win32Backend::CreateEvent(Handle* event) {
    HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (handle == nullptr) {
        *event = InvalidHandle;
        return Failure(GetLastError(), "the event could not be created");
    }
    *event = FromHandle(handle);
    return Status::Ok();
}

WaitResult Win32Backend::WaitEvent(Handle event, std::chrono::microseconds timeout) {
    // Round up so that a short positive wait never becomes a poll; INFINITE is never asked for.
    const auto micros = timeout.count() < 0 ? 0 : timeout.count();
    const DWORD milliseconds =
        micros >= 0xFFFFFFFELL * 1000 ? 0xFFFFFFFEu : static_cast<DWORD>((micros + 999) / 1000);
    switch (WaitForSingleObject(ToHandle(event), milliseconds)) {
    case WAIT_OBJECT_0:
        return WaitResult::Signalled;
    case WAIT_TIMEOUT:
        return WaitResult::TimedOut;
    default:
        return WaitResult::Failed;
    }
}

Status Win32Backend::CloseEvent(Handle event) {
    if (!CloseHandle(ToHandle(event))) {
        return Failure(GetLastError(), "the event handle was not open");
    }
    return Status::Ok();
}

// The request layouts follow the process's pointer width: a 32-bit build is a 32-bit process
// (under WOW64 on 64-bit Windows, the only place the driver runs), so no system call is needed.
bool Win32Backend::Is32Bit() {
    return sizeof(void*) == 4;
}

std::chrono::microseconds Win32Backend::Now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(RealTimeClock::Now());
}

void Win32Backend::Sleep(std::chrono::microseconds duration) {
    if (duration.count() <= 0) {
        return;
    }
    if (timer_ == nullptr) {
        // A high-resolution timer where the system has one (no timeBeginPeriod needed);
        // otherwise an ordinary one, as precise as the system's timer.
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
        if (timer_ == nullptr) {
            timer_ = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        }
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(duration.count()) * 10; // relative, 100 ns units
    if (timer_ == nullptr || !SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        ::Sleep(static_cast<DWORD>((duration.count() + 999) / 1000));
        return;
    }
    WaitForSingleObject(timer_, INFINITE);
}

} // namespace conduit
