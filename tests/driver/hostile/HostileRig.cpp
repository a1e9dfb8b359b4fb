// Raw clients, a raw engine and the fixture of the hostile suite.
#include "HostileRig.h"

#include <cstring>

#include "engine/KsRequests.h"
#include "kernel/IoManager.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

NTSTATUS RawClient::Open(const std::u16string& devicePath) {
    host::ProcessScope scope(&process);
    std::u16string path = devicePath;
    if (path.empty()) {
        const auto paths = host::user::GetDeviceInterfacePaths(TransportInterfaceClassGuid());
        path = (paths.empty() ? std::u16string() : paths[0]) + TransportFileName(render);
    }
    file = host::user::CreateFile(path);
    return file == INVALID_HANDLE_VALUE ? host::user::LastStatus() : STATUS_SUCCESS;
}

NTSTATUS RawClient::Connect() {
    NTSTATUS status = Open();
    transport::GetControlBlockInput get = {transport::ProtocolVersion};
    unsigned long long address = 0;
    if (NT_SUCCESS(status)) {
        status = Control(transport::IoctlGetControlBlock, &get, sizeof(get), &address,
                         process.is32Bit ? 4 : 8);
    }
    block = reinterpret_cast<transport::TransportControlBlock*>(address);
    if (NT_SUCCESS(status)) {
        host::ProcessScope scope(&process);
        event = host::user::CreateEvent(false, false);
        unsigned char input[transport::SetEventInputBytes64] = {};
        const transport::u32 version = transport::ProtocolVersion;
        std::memcpy(input, &version, sizeof(version));
        std::memcpy(input + transport::SetEventHandleOffset, &event, process.is32Bit ? 4 : 8);
        status = Control(transport::IoctlSetEvent, input,
                         process.is32Bit ? transport::SetEventInputBytes32
                                         : transport::SetEventInputBytes64);
    }
    return status;
}

NTSTATUS RawClient::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength) {
    host::ProcessScope scope(&process);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::user::DeviceIoControl(file, code, input, inputLength, output, outputLength, nullptr,
                                &status);
    return status;
}

NTSTATUS RawClient::Answer(LONG status) {
    transport::ReportStatusInput input = {transport::ProtocolVersion, status};
    return Control(transport::IoctlReportStatus, &input, sizeof(input));
}

NTSTATUS RawClient::Answer(LONG status, transport::u32 number) {
    transport::ReportNumberedStatusInput input = {transport::ProtocolVersion, status, number};
    return Control(transport::IoctlReportStatus, &input, sizeof(input));
}

NTSTATUS RawClient::Tick() {
    return Answer(transport::StatusTransportTick);
}

NTSTATUS RawClient::SetFormat(ULONG sampleRate) {
    transport::SetFormatInput input = {transport::ProtocolVersion, sampleRate, 16, 2, 2, 0};
    return Control(transport::IoctlSetFormat, &input, sizeof(input));
}

NTSTATUS RawClient::Close() {
    host::ProcessScope scope(&process);
    return host::user::CloseHandle(file) ? STATUS_SUCCESS : host::user::LastStatus();
}

void RawClient::Respond(std::function<bool(transport::u32 number)> onSignal) {
    StopResponding();
    stop = false;
    responder = std::thread([this, onSignal] {
        host::ProcessScope scope(&process);
        while (!stop.load() && process.IsAlive()) {
            if (host::user::WaitForSingleObject(event, 5) == WAIT_OBJECT_0 &&
                !onSignal(Read(block->HandshakeNumber))) {
                return;
            }
        }
    });
}

void RawClient::StopResponding() {
    stop = true;
    if (responder.joinable()) {
        responder.join();
    }
}

NTSTATUS RawEngine::Open(bool clientRender) {
    host::engine::EngineOptions options;
    // The client's Render file feeds the capture endpoint's filter, its Capture file is fed by
    // the render endpoint's.
    options.filterName = clientRender ? u"wave_c" : u"wave_r";
    return engine.Open(options);
}

NTSTATUS RawEngine::Step(KSSTATE state) {
    if (!process.IsAlive()) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    host::ProcessScope scope(&process);
    KSPROPERTY property = host::engine::MakeProperty(
        KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    return host::engine::SendProperty(engine.Pin(), &property, sizeof(property), &state,
                                      sizeof(state));
}

void HostileTest::TearDown() {
    engines.clear(); // each engine closes its pin and filter while the clients still answer
    for (auto& client : clients) {
        client->StopResponding();
    }
    DriverTest::TearDown();
}

RawClient& HostileTest::NewClient(bool render, bool is32Bit, const std::string& name) {
    clients.push_back(std::make_unique<RawClient>(NewProcess(is32Bit, name), render));
    return *clients.back();
}

RawEngine& HostileTest::NewEngine() {
    engines.push_back(std::make_unique<RawEngine>(NewProcess(false, "engine")));
    return *engines.back();
}

std::u16string HostileTest::DevicePath(bool render) {
    return machine.Get<host::IoManager>().DeviceName(driver->physicalDevice) +
           TransportFileName(render);
}

void HostileTest::ExpectReusable(bool render) {
    RawClient& next = NewClient(render, false, "next");
    ASSERT_EQ(next.Connect(), STATUS_SUCCESS);
    EXPECT_EQ(next.Read(next.block->ClientConnected), 1u);
    EXPECT_EQ(next.Close(), STATUS_SUCCESS);
}
