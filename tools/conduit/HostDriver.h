// The driver inside a host machine: a fresh copy of its image loaded, its device added and
// started through the host's plug and play, and unloaded again under the verifier.
#pragma once

#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

namespace host {
class DriverImage;
class Machine;
struct LoadedDriver;
} // namespace host

namespace conduit::tool {

class HostDriver {
public:
    explicit HostDriver(host::Machine& machine);
    ~HostDriver();
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    // Loads imagePath (empty: the image built with this program) and starts its device; on
    // failure *failure says which step failed and with what.
    bool Start(const std::string& imagePath, std::string* failure);
    // Unloads the driver (once) and returns what the verifier found.
    std::vector<std::string> Unload();

    host::DriverImage* Image() { return image_.get(); }

private:
    host::Machine& machine_;
    std::unique_ptr<host::DriverImage> image_;
    host::LoadedDriver* driver_ = nullptr;
};

// An NTSTATUS as "0xC00000A3".
std::string StatusText(NTSTATUS status);

} // namespace conduit::tool
