// The backend for the host platform: a client program running in one of the host's logical
// user-mode processes, making the host's user-mode calls in that process's context.
#pragma once

#include "Backend.h"

namespace host {
class Process;
}

namespace conduit {

class HostBackend : public Backend {
public:
    explicit HostBackend(host::Process& process) : process_(process) {}

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

    // Sets an event of this process, as another thread of the client would, so that whoever
    // waits on it returns.
    Status SignalEvent(Handle event);

private:
    host::Process& process_;
};

} // namespace conduit
