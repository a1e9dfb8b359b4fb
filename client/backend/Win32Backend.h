// The backend for Windows: the client library's calls on the real Win32 API (device interface
// lookup, files, device control requests, an auto-reset event, the performance counter).
#pragma once

#include "Backend.h"

namespace conduit {

class Win32Backend : public Backend {
public:
    Win32Backend() = default;
    ~Win32Backend() override;
    Win32Backend(const Win32Backend&) = delete;
    Win32Backend& operator=(const Win32Backend&) = delete;

    std::vector<std::u16string> InterfacePaths() override;
    Status OpenFile(const std::u16string& path, Handle* file) override;
    Status DeviceControl(Handle file, std::uint32_t code, const void* input,
                         std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                         std::uint32_t* returned) override;
    Status CloseFile(Handle file) override;
    Status CreateEvent(Handle* event) override;
    WaitResult WaitEvent(Handle event, std::chrono::microseconds timeout) override;
    Status CloseEvent(Handle event) override;
    bool Is32Bit() override;
    std::chrono::microseconds Now() override;
    void Sleep(std::chrono::microseconds duration) override;

private:
    // A waitable timer for Sleep, made on first use (a HANDLE; void* keeps windows.h out).
    void* timer_ = nullptr;
};

} // namespace conduit
