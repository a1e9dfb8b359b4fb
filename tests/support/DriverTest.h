// Fixture of the integration tests: a fresh machine, a fresh copy of the driver image loaded
// through the host's plug and play (the host build, or the Windows-built image the suite is run
// against: ImageUnderTest.h), and client processes that reach the driver only through the
// host's user-mode calls, as the real client would.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "HostTest.h"
#include "adapter/AdapterCommon.h"
#include "kernel/DriverImage.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"
#include "transport/TransportProtocol.h"

class DriverTest : public HostTest {
protected:
    void TearDown() override;

    // Loads a fresh image and runs its DriverEntry; the entry's status.
    NTSTATUS Load();
    NTSTATUS AddDevice();
    NTSTATUS Start();
    // Load, add and start, asserting each succeeds.
    void LoadAndStart();
    // Ends every client process, unloads the driver and returns the verifier's findings.
    std::vector<std::string> Unload();

    // The fresh image's counterpart of a driver routine or global. Throws against a
    // Windows-built image: a test that reaches into the driver is white-box, named *WhiteBox*,
    // and runs on the host build only.
    template <class T>
    T* Resolve(T* symbol) {
        return image->Resolve(symbol);
    }
    // The driver's device object, as the host's I/O manager sees it: the top of the device
    // stack over the physical device.
    PDEVICE_OBJECT FunctionalDevice();
    // The adapter object of the loaded image (null before a start).
    AdapterCommon* Adapter();
    TransportEndpoint& Endpoint(bool render);

    // The private interface's user-mode path (asserts there is exactly one).
    std::u16string InterfacePath();

    host::Process& NewProcess(bool is32Bit, const std::string& name = "client");
    // Opens a direction's file from process; INVALID_HANDLE_VALUE on failure.
    HANDLE OpenTransport(host::Process& process, bool render, NTSTATUS* status = nullptr);
    HANDLE OpenPath(host::Process& process, const std::u16string& tail, NTSTATUS* status);
    NTSTATUS Control(host::Process& process, HANDLE file, ULONG code, const void* input,
                     ULONG inputLength, void* output, ULONG outputLength,
                     ULONG* returned = nullptr);
    // The control block as the client sees it (IOCTL_TRANSPORT_GET_CONTROL_BLOCK).
    transport::TransportControlBlock* ClientControlBlock(host::Process& process, HANDLE file);
    // Connects a 64-bit process's file: a new event of its own registered with the driver.
    HANDLE RegisterClientEvent(host::Process& process, HANDLE file);
    void Close(host::Process& process, HANDLE file);
    void Exit(host::Process& process);

    std::unique_ptr<host::DriverImage> image;
    host::LoadedDriver* driver = nullptr;
    bool unloaded = false;
    std::vector<host::Process*> processes;
};

// The user-mode name of a direction's file.
std::u16string TransportFileName(bool render);
// The private interface's class.
GUID TransportInterfaceClassGuid();
