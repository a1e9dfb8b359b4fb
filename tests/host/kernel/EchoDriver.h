// A small WDM driver written against the host headers, for the I/O manager's tests: it attaches
// over the root device, registers and enables an interface, records what reaches it and answers
// device controls in ways a test selects, including the wrong ways.
#pragma once

#include <string>
#include <vector>

#include <ntddk.h>

#include "HostTest.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"

namespace echo {

// {acc2f77f-7e94-4cfd-a594-cfb76b622885}
extern const GUID InterfaceClass;

constexpr ULONG IoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlOverReport =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlCompleteTwice =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlForgetToComplete =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlReturnOtherStatus =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IoctlPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What one device control looked like from inside the driver.
struct ControlSeen {
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    bool from32BitProcess = false;
    bool systemBufferNull = false;
    ULONG_PTR fileId = 0;
};

struct State {
    NTSTATUS createStatus = STATUS_SUCCESS;
    std::vector<std::string> log; // "create <name>", "cleanup <id>", "close <id> in <process>"
    std::vector<ControlSeen> controls;
    ULONG_PTR nextFileId = 1;
    PIRP pendingIrp = nullptr;
    UNICODE_STRING link{};
};

extern State* state;

DRIVER_INITIALIZE DriverEntry;

// Loads, adds and starts the driver; returns the loaded driver (asserting each step).
host::LoadedDriver* Install(host::Pnp& pnp);

// The echo driver installed and started, with a 64-bit and a 32-bit client process. The driver
// is unloaded (and the processes ended) before the machine is verified.
class EchoTest : public HostTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The interface path with a tail appended, as a client would open it.
    std::u16string Path(const std::u16string& tail = u"") const { return interfacePath + tail; }

    State driverState;
    host::Pnp* pnp = nullptr;
    host::LoadedDriver* driver = nullptr;
    host::Process* client64 = nullptr;
    host::Process* client32 = nullptr;
    std::u16string interfacePath;
};

} // namespace echo
