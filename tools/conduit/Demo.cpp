// `conduit demo`: the driver loaded and started inside a fresh host machine, a client of each
// direction connecting through the client library, the state it leaves in each control block,
// the unload under the verifier, and a plain list of what does not exist yet.
#include "Demo.h"

#include <ntddk.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "HostBackend.h"
#include "adapter/AdapterCommon.h"
#include "adapter/DriverEntry.h"
#include "conduit/Client.h"
#include "kernel/DriverImage.h"
#include "kernel/Machine.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"
#include "transport/TransportEndpoint.h"
#include "transport/TransportProtocol.h"

namespace {

void Step(const char* what, const std::string& detail) {
    std::printf("  %-16s %s\n", what, detail.c_str());
}

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

std::string StatusText(NTSTATUS status) {
    return Hex(static_cast<unsigned>(status));
}

std::string Describe(const conduit::StreamView& view) {
    const conduit::DeviceFormat& format = view.deviceFormat;
    return std::string("connected ") + (view.clientConnected ? "1" : "0") + ", format " +
           std::to_string(format.sampleRate) + " Hz / " + std::to_string(format.bitsPerSample) +
           "-bit in " + std::to_string(format.containerBytes) + "-byte containers / " +
           std::to_string(format.channels) + " ch / mask " + Hex(format.channelMask) +
           ", latency " + std::to_string(view.latencyFrames) + " frames, handshake flags " +
           Hex(view.handshakeFlags) + ", stream open " + (view.streamOpen ? "1" : "0");
}

// Connects one direction, sets its format and latency and reports the block; false on failure.
bool ConnectDirection(conduit::HostBackend& backend, conduit::Direction direction,
                      std::unique_ptr<conduit::Connection>* connection) {
    const std::string name = conduit::DirectionName(direction);
    conduit::Status status = conduit::Connection::Open(backend, direction, connection);
    if (!status.ok()) {
        Step(name.c_str(), "FAILED to connect: " + status.ToString());
        return false;
    }
    Step(name.c_str(), "file open, control block and data buffer mapped (" +
                           std::to_string((*connection)->DataBytes()) +
                           " bytes), event registered");
    conduit::DeviceFormat format;
    format.sampleRate = 48000;
    format.bitsPerSample = 16;
    format.channels = 2;
    format.containerBytes = 2;
    format.channelMask = 0; // the driver picks front left and right
    status = (*connection)->SetFormat(format);
    if (!status.ok()) {
        Step(name.c_str(), "FAILED to set the format: " + status.ToString());
        return false;
    }
    status = (*connection)->SetLatency(480);
    if (!status.ok()) {
        Step(name.c_str(), "FAILED to set the latency: " + status.ToString());
        return false;
    }
    Step("", "format and latency set; the control block now reads:");
    Step("", Describe((*connection)->Read()));
    return true;
}

bool RunDriver(host::Machine& machine, const std::string& path,
               std::vector<std::string>* unloadProblems) {
    host::DriverImage image(path);
    Step("driver image", "fresh copy of " + path + " loaded");
    std::shared_ptr<void> keep(&image, [](void*) {});
    host::Pnp& pnp = machine.Get<host::Pnp>();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::LoadedDriver* driver = pnp.Load(image.Resolve(&DriverEntry), u"conduit", &status, keep);
    if (driver == nullptr || !NT_SUCCESS(status)) {
        Step("driver entry", "FAILED: " + StatusText(status));
        if (driver != nullptr) {
            *unloadProblems = pnp.Unload(*driver);
        }
        return false;
    }
    Step("driver entry", "succeeded");
    bool good = true;
    status = pnp.AddDevice(*driver);
    if (NT_SUCCESS(status)) {
        Step("add device", "device object created");
        status = pnp.StartDevice(*driver);
    }
    if (!NT_SUCCESS(status)) {
        Step("device start", "FAILED: " + StatusText(status));
        good = false;
    } else {
        Step("device start", "shared memory allocated, subdevices registered, workers running");
        host::Process& process = machine.Get<host::Processes>().Create("demo-client", false);
        {
            conduit::HostBackend backend(process);
            std::unique_ptr<conduit::Connection> render;
            std::unique_ptr<conduit::Connection> capture;
            good = ConnectDirection(backend, conduit::Direction::Render, &render) &&
                   ConnectDirection(backend, conduit::Direction::Capture, &capture);
            for (std::unique_ptr<conduit::Connection>* connection : {&render, &capture}) {
                if (*connection != nullptr) {
                    const std::string name = conduit::DirectionName((*connection)->direction());
                    conduit::Status closed = (*connection)->Close();
                    Step(name.c_str(),
                         closed.ok() ? "closed" : "close FAILED: " + closed.ToString());
                    good = good && closed.ok();
                }
            }
        }
        machine.Get<host::Processes>().Exit(process);
        // The client's view is unmapped now: read the driver's own view of each block.
        AdapterCommon* adapter = image.Resolve(&PublishedAdapter)();
        if (adapter != nullptr) {
            for (TransportEndpoint* endpoint :
                 {&adapter->renderEndpoint, &adapter->captureEndpoint}) {
                const transport::TransportControlBlock* block = endpoint->ControlBlock();
                if (block != nullptr) {
                    Step(endpoint == &adapter->renderEndpoint ? "Render" : "Capture",
                         std::string("driver's view after the close: connected ") +
                             (block->ClientConnected != 0 ? "1" : "0"));
                }
            }
        }
    }
    *unloadProblems = pnp.Unload(*driver);
    Step("unload", "driver unloaded");
    return good;
}

} // namespace

int RunDemo(const std::string& imagePath) {
    std::printf("conduit demo: the driver inside the host platform, with a client in both "
                "directions\n\n");
    bool succeeded = false;
    std::vector<std::string> problems;
    {
        host::Machine machine;
        Step("machine", "fresh host machine");
        try {
            std::string path =
                imagePath.empty() ? host::DriverImage::PathOf(&DriverEntry) : imagePath;
            succeeded = RunDriver(machine, path, &problems);
        } catch (const std::exception& error) {
            Step("driver image", std::string("FAILED: ") + error.what());
        }
        // The unload already asked the verifier; without an unload, ask it now.
        if (problems.empty()) {
            problems = machine.Verify();
        }
    }
    if (problems.empty()) {
        Step("verifier", "clean: nothing left behind");
    } else {
        Step("verifier", std::to_string(problems.size()) + " problem(s):");
        for (const std::string& problem : problems) {
            std::printf("                     %s\n", problem.c_str());
        }
    }

    std::printf("\nNot built yet, so not run: pin creation in the host's port-class library and\n"
                "the simulated audio engine. The driver has its WaveRT stream, but nothing opens\n"
                "one yet, so no handshake, tick or sample moves: no audio flows end to end.\n");
    bool clean = succeeded && problems.empty();
    std::printf("\nResult: %s\n", clean ? "what exists ran cleanly" : "FAILED");
    return clean ? 0 : 1;
}
