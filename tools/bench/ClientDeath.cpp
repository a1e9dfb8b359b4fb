// The client-death round: a raw client, an engine on the render endpoint, and the client's
// process ending while the engine's state step waits for the client's answer.
#include "ClientDeath.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "HostDriver.h"
#include "engine/AudioEngine.h"
#include "kernel/Machine.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"
#include "transport/TransportProtocol.h"

namespace conduit::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The client's side: its Capture file (the render endpoint's client) and its event. It
// answers every handshake with success until told to go silent; the first handshake it then
// sees, it leaves unanswered and stops.
class RawClient {
public:
    explicit RawClient(host::Process& process) : process_(process) {}

    bool Connect() {
        host::ProcessScope scope(&process_);
        std::vector<std::u16string> paths =
            host::user::GetDeviceInterfacePaths(transport::InterfaceClassAs<GUID>());
        if (paths.empty()) {
            return false;
        }
        const char16_t* name = reinterpret_cast<const char16_t*>(TRANSPORT_CAPTURE_FILE_NAME);
        file_ = host::user::CreateFile(paths[0] + name);
        event_ = host::user::CreateEvent(false, false);
        if (file_ == INVALID_HANDLE_VALUE || event_ == nullptr) {
            return false;
        }
        unsigned char input[transport::SetEventInputBytes64] = {};
        const transport::u32 version = transport::ProtocolVersion;
        std::memcpy(input, &version, sizeof(version));
        std::memcpy(input + transport::SetEventHandleOffset, &event_, sizeof(event_));
        return host::user::DeviceIoControl(file_, transport::IoctlSetEvent, input, sizeof(input),
                                           nullptr, 0, nullptr) != FALSE;
    }

    void Serve() {
        thread_ = std::thread([this] {
            host::ProcessScope scope(&process_);
            while (!stop_.load()) {
                if (host::user::WaitForSingleObject(event_, 20) != WAIT_OBJECT_0) {
                    continue;
                }
                if (silent_.load()) {
                    return; // dies before answering
                }
                const transport::ReportStatusInput answer = {transport::ProtocolVersion,
                                                             STATUS_SUCCESS};
                host::user::DeviceIoControl(file_, transport::IoctlReportStatus, &answer,
                                            sizeof(answer), nullptr, 0, nullptr);
            }
        });
    }
    void GoSilent() { silent_ = true; }
    // Waits until the client has seen its unanswered handshake (or was stopped).
    void Join() { thread_.join(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    host::Process& process_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One round; false with *failure set when it could not run.
bool RunRound(std::chrono::microseconds* sample, std::string* failure) {
    host::Machine machine;
    tool::HostDriver driver(machine);
    if (!driver.Start(std::string(), failure)) {
        return false;
    }
    host::Processes& processes = machine.Get<host::Processes>();
    host::Process& clientProcess = processes.Create("client", false);
    host::Process& engineProcess = processes.Create("engine", false);
    RawClient client(clientProcess);
    if (!client.Connect()) {
        *failure = "the client could not connect";
        processes.Exit(clientProcess);
        return false;
    }
    client.Serve();

    bool ran = false;
    {
        host::engine::AudioEngine engine(engineProcess);
        host::engine::EngineOptions options;
        options.filterName = u"wave_r";
        NTSTATUS status = engine.Open(options);
        if (!NT_SUCCESS(status)) {
            *failure = "the engine could not open the render endpoint: " + tool::StatusText(status);
        } else {
            client.GoSilent();
            Clock::time_point returned;
            std::thread step([&] {
                status = engine.Start();
                returned = Clock::now();
            });
            client.Join();
            const Clock::time_point death = Clock::now();
            processes.Exit(clientProcess);
            step.join();
            *sample = std::chrono::duration_cast<std::chrono::microseconds>(returned - death);
            ran = !NT_SUCCESS(status);
            if (!ran) {
                *failure = "the engine's first state step succeeded without its client";
            }
            engine.Stop();
        }
    }
    client.Stop();
    processes.Exit(clientProcess);
    processes.Exit(engineProcess);
    for (const std::string& problem : driver.Unload()) {
        failure->append(failure->empty() ? "" : "; ").append(problem);
        ran = false;
    }
    return ran;
}

} // namespace

ClientDeathFigures MeasureClientDeath(unsigned rounds) {
    ClientDeathFigures figures;
    for (unsigned round = 0; round < rounds; ++round) {
        std::chrono::microseconds sample{0};
        if (!RunRound(&sample, &figures.failure)) {
            break;
        }
        figures.deathToReturn.push_back(sample);
    }
    return figures;
}

} // namespace conduit::bench
