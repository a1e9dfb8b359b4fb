// What the client library needs from the operating system: files of the private interface,
// device control requests, one auto-reset event, and time. A Windows backend maps these onto
// the Win32 calls one to one; the host backend onto the host platform's user-mode calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "conduit/Status.h"

namespace conduit {

// A handle value as the operating system gives it; sent to the driver as a number.
using Handle = std::uint64_t;
constexpr Handle InvalidHandle = ~Handle(0);

enum class WaitResult { Signalled, TimedOut, Failed };

class Backend {
public:
    virtual ~Backend() = default;

    // The symbolic links of the enabled interfaces of the driver's private interface class.
    virtual std::vector<std::u16string> InterfacePaths() = 0;
    virtual Status OpenFile(const std::u16string& path, Handle* file) = 0;
    // A buffered device control request; *returned is the byte count the driver answered.
    virtual Status DeviceControl(Handle file, std::uint32_t code, const void* input,
                                 std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                                 std::uint32_t* returned) = 0;
    virtual Status CloseFile(Handle file) = 0;

    // An auto-reset event, not signalled, that the driver may set.
    virtual Status CreateEvent(Handle* event) = 0;
    virtual WaitResult WaitEvent(Handle event, std::chrono::microseconds timeout) = 0;
    virtual Status CloseEvent(Handle event) = 0;

    // True for a 32-bit client process: pointers and handles in requests are 4 bytes wide.
    virtual bool Is32Bit() = 0;

    // Monotonic time and a plain sleep, so that a fake backend can keep time itself.
    virtual std::chrono::microseconds Now() = 0;
    virtual void Sleep(std::chrono::microseconds duration) = 0;
};

} // namespace conduit
