// `conduit status` on Linux: a fresh host machine, the driver loaded and started under the host's
// plug and play, a client setting one format per direction through the private interface, then
// every audio endpoint with the device format the driver stored in it.
#include "Status.h"

#include <ntddk.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/DriverEntry.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/DriverImage.h"
#include "kernel/Machine.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"
#include "kernel/Registry.h"
#include "kernel/UserMode.h"
#include "transport/TransportProtocol.h"

namespace {

struct DirectionFormat {
    const char* name;
    const char16_t* fileName;
    transport::SetFormatInput format;
};
// Different formats per direction, so each endpoint shows which channel wrote it.
const DirectionFormat Directions[] = {
    {"Render",
     u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render",
     {transport::ProtocolVersion, 48000, 16, 2, 2, 0x3}},
    {"Capture",
     u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Capture",
     {transport::ProtocolVersion, 96000, 24, 2, 4, 0x3}},
};

void Step(const char* what, const std::string& detail) {
    std::printf("  %-13s %s\n", what, detail.c_str());
}

std::string Hex(NTSTATUS value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

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

std::string FormatText(const transport::SetFormatInput& format) {
    char text[96];
    std::snprintf(text, sizeof(text), "%u Hz, %u bits in %u, %u channels (mask 0x%x)",
                  format.SampleRate, format.BitsPerSample, format.ContainerBytes * 8,
                  format.Channels, format.ChannelMask);
    return text;
}

// Opens each direction's file as the client does and sets its format; false when a step failed.
bool SetFormats(host::Process& client) {
    std::vector<std::u16string> paths =
        host::user::GetDeviceInterfacePaths(TransportInterfaceGuid());
    if (paths.size() != 1) {
        Step("client", "FAILED: " + std::to_string(paths.size()) +
                           " transport interfaces enabled, expected one");
        return false;
    }
    bool good = true;
    host::ProcessScope scope(&client);
    for (const DirectionFormat& direction : Directions) {
        HANDLE file = host::user::CreateFile(paths[0] + direction.fileName);
        if (file == INVALID_HANDLE_VALUE) {
            Step("client", std::string("FAILED: the ") + direction.name + " file did not open (" +
                               Hex(host::user::LastStatus()) + ")");
            good = false;
            continue;
        }
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        ULONG returned = 0;
        host::user::DeviceIoControl(file, transport::IoctlSetFormat, &direction.format,
                                    sizeof(direction.format), nullptr, 0, &returned, &status);
        if (NT_SUCCESS(status)) {
            Step("client",
                 std::string(direction.name) + " channel set to " + FormatText(direction.format));
        } else {
            Step("client", std::string("FAILED: the ") + direction.name +
                               " channel refused its format (" + Hex(status) + ")");
            good = false;
        }
        host::user::CloseHandle(file);
    }
    return good;
}

std::string FilterOf(const host::AudioEndpoint& endpoint) {
    std::optional<host::RegistryValue> value =
        host::ReadRegistryValue(endpoint.propertiesPath, host::EndpointFilterProperty);
    if (!value || value->type != REG_SZ) {
        return "(names no filter)";
    }
    std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()),
                        value->data.size() / sizeof(char16_t));
    text = text.substr(0, text.find(u'\0'));
    const size_t slash = text.rfind(u'\\');
    return host::RegistryTextToUtf8(slash == std::u16string::npos ? text : text.substr(slash + 1));
}

void PrintEndpoints() {
    const std::vector<host::AudioEndpoint> endpoints = host::ListAudioEndpoints();
    Step("endpoints", std::to_string(endpoints.size()) + " under " +
                          host::RegistryTextToUtf8(host::AudioEndpointsRootPath));
    for (const host::AudioEndpoint& endpoint : endpoints) {
        std::optional<host::EndpointDeviceFormat> format = host::ReadEndpointDeviceFormat(endpoint);
        std::printf("    %-7s %s  filter %s\n",
                    endpoint.flow == host::EndpointFlow::Render ? "Render" : "Capture",
                    host::RegistryTextToUtf8(endpoint.name).c_str(), FilterOf(endpoint).c_str());
        std::printf("            device format: %s\n",
                    format ? host::DescribeEndpointDeviceFormat(*format).c_str() : "none stored");
    }
}

// Loads, starts, drives and unloads one fresh image; the verifier's findings in problems.
bool RunDriver(const std::string& path, std::vector<std::string>& problems) {
    host::Machine& machine = host::Machine::Current();
    auto image = std::make_unique<host::DriverImage>(path);
    Step("driver image", "fresh copy of " + path + " loaded");
    std::shared_ptr<void> keep(image.get(), [](void*) {});
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::Pnp& pnp = machine.Get<host::Pnp>();
    host::LoadedDriver* driver = pnp.Load(image->EntryPoint(), u"conduit", &status, keep);
    if (driver == nullptr) {
        Step("driver", "FAILED: DriverEntry returned " + Hex(status));
        problems = machine.Verify();
        return false;
    }
    bool good = false;
    status = pnp.AddDevice(*driver);
    if (NT_SUCCESS(status)) {
        status = pnp.StartDevice(*driver);
    }
    if (!NT_SUCCESS(status)) {
        Step("driver", "FAILED: the device did not come up (" + Hex(status) + ")");
    } else {
        Step("driver", "loaded; device ROOT\\MEDIA\\0000 added and started");
        host::Process& client = machine.Get<host::Processes>().Create("conduit status", false);
        good = SetFormats(client);
        machine.Get<host::Processes>().Exit(client);
        PrintEndpoints();
    }
    problems = pnp.Unload(*driver);
    return good;
}

} // namespace

int RunStatus(const std::string& imagePath) {
    std::printf("conduit status: inside the host platform (a simulated Windows machine in this\n"
                "process), not this computer's sound system\n\n");
    bool succeeded = false;
    std::vector<std::string> problems;
    {
        host::Machine machine;
        Step("machine", "fresh host machine");
        try {
            succeeded = RunDriver(
                imagePath.empty() ? host::DriverImage::PathOf(&DriverEntry) : imagePath, problems);
        } catch (const std::exception& error) {
            Step("driver image", std::string("FAILED: ") + error.what());
            problems = machine.Verify();
        }
    }
    if (problems.empty()) {
        Step("verifier", "clean: nothing left behind after the unload");
    } else {
        Step("verifier", std::to_string(problems.size()) + " problem(s):");
        for (const std::string& problem : problems) {
            std::printf("                %s\n", problem.c_str());
        }
    }
    const bool clean = succeeded && problems.empty();
    std::printf("\nResult: %s\n", clean ? "ok" : "FAILED");
    return clean ? 0 : 1;
}
