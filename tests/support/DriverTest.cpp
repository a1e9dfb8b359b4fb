// The integration fixture: loading, starting and unloading the driver image, and the client's
// side of the private interface.
#include "DriverTest.h"

#include <cstring>

#include "ImageUnderTest.h"
#include "adapter/DriverEntry.h"
#include "kernel/IoManager.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace {

GUID TransportInterfaceGuid() {
    const transport::InterfaceClassValue& value = transport::InterfaceClass;
    GUID guid;
    guid.Data1 = value.data1;
    guid.Data2 = value.data2;
    guid.Data3 = value.data3;
    for (int index = 0; index < 8; index++) {
        guid.Data4[index] = value.data4[index];
    }
    return guid;
}

} // namespace

GUID TransportInterfaceClassGuid() {
    return TransportInterfaceGuid();
}

std::u16string TransportFileName(bool render) {
    return render ? u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render"
                  : u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Capture";
}

void DriverTest::TearDown() {
    if (driver != nullptr && !unloaded) {
        for (const std::string& problem : Unload()) {
            ADD_FAILURE() << "unload: " << problem;
        }
    }
    HostTest::TearDown();
}

NTSTATUS DriverTest::Load() {
    const std::string path = DriverImageUnderTest();
    image = std::make_unique<host::DriverImage>(
        path.empty() ? host::DriverImage::PathOf(&DriverEntry) : path);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // The PnP manager keeps the image alive until the unload; the fixture keeps a view of it.
    std::shared_ptr<void> keep(image.get(), [](void*) {});
    driver = machine.Get<host::Pnp>().Load(image->EntryPoint(), u"conduit", &status, keep);
    return status;
}

NTSTATUS DriverTest::AddDevice() {
    return machine.Get<host::Pnp>().AddDevice(*driver);
}

NTSTATUS DriverTest::Start() {
    return machine.Get<host::Pnp>().StartDevice(*driver);
}

void DriverTest::LoadAndStart() {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

std::vector<std::string> DriverTest::Unload() {
    for (host::Process* process : processes) {
        machine.Get<host::Processes>().Exit(*process);
    }
    unloaded = true;
    if (driver == nullptr) {
        return machine.Verify();
    }
    return machine.Get<host::Pnp>().Unload(*driver);
}

PDEVICE_OBJECT DriverTest::FunctionalDevice() {
    return host::IoManager::TopOfStack(driver->physicalDevice);
}

AdapterCommon* DriverTest::Adapter() {
    return Resolve(&PublishedAdapter)();
}

TransportEndpoint& DriverTest::Endpoint(bool render) {
    AdapterCommon* adapter = Adapter();
    return render ? adapter->renderEndpoint : adapter->captureEndpoint;
}

std::u16string DriverTest::InterfacePath() {
    std::vector<std::u16string> paths =
        host::user::GetDeviceInterfacePaths(TransportInterfaceGuid());
    EXPECT_EQ(paths.size(), 1u);
    return paths.empty() ? std::u16string() : paths[0];
}

host::Process& DriverTest::NewProcess(bool is32Bit, const std::string& name) {
    host::Process& process = machine.Get<host::Processes>().Create(name, is32Bit);
    processes.push_back(&process);
    return process;
}

HANDLE DriverTest::OpenPath(host::Process& process, const std::u16string& tail, NTSTATUS* status) {
    std::u16string path = InterfacePath();
    host::ProcessScope scope(&process);
    HANDLE file = host::user::CreateFile(path + tail);
    if (status != nullptr) {
        *status = file == INVALID_HANDLE_VALUE ? host::user::LastStatus() : STATUS_SUCCESS;
    }
    return file;
}

HANDLE DriverTest::OpenTransport(host::Process& process, bool render, NTSTATUS* status) {
    return OpenPath(process, TransportFileName(render), status);
}

NTSTATUS DriverTest::Control(host::Process& process, HANDLE file, ULONG code, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength, ULONG* returned) {
    host::ProcessScope scope(&process);
    ULONG bytes = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::user::DeviceIoControl(file, code, input, inputLength, output, outputLength, &bytes,
                                &status);
    if (returned != nullptr) {
        *returned = bytes;
    }
    return status;
}

transport::TransportControlBlock* DriverTest::ClientControlBlock(host::Process& process,
                                                                 HANDLE file) {
    transport::GetControlBlockInput input = {transport::ProtocolVersion};
    unsigned long long address = 0;
    ULONG returned = 0;
    NTSTATUS status = Control(process, file, transport::IoctlGetControlBlock, &input, sizeof(input),
                              &address, sizeof(address), &returned);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(returned, process.is32Bit ? 4u : 8u);
    return reinterpret_cast<transport::TransportControlBlock*>(address);
}

HANDLE DriverTest::RegisterClientEvent(host::Process& process, HANDLE file) {
    HANDLE event = nullptr;
    {
        host::ProcessScope scope(&process);
        event = host::user::CreateEvent(false, false);
    }
    unsigned char input[transport::SetEventInputBytes64] = {};
    const transport::u32 version = transport::ProtocolVersion;
    std::memcpy(input, &version, sizeof(version));
    std::memcpy(input + transport::SetEventHandleOffset, &event, sizeof(event));
    EXPECT_EQ(Control(process, file, transport::IoctlSetEvent, input, sizeof(input), nullptr, 0),
              STATUS_SUCCESS);
    return event;
}

void DriverTest::Close(host::Process& process, HANDLE file) {
    host::ProcessScope scope(&process);
    EXPECT_TRUE(host::user::CloseHandle(file));
}

void DriverTest::Exit(host::Process& process) {
    machine.Get<host::Processes>().Exit(process);
}
