// The hostile suite's rig: the started driver, clients that send raw requests through the calls
// any user-mode program has (no client library, no driver internals), and an audio engine whose
// state requests make the driver handshake with the client.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "DriverTest.h"
#include "engine/AudioEngine.h"

// One client process's file of one direction, its event and its view of the control block.
class RawClient {
public:
    RawClient(host::Process& process, bool render) : process(process), render(render) {}
    ~RawClient() { StopResponding(); }

    // Opens the direction's file through the interface (or the device's own name, when given).
    NTSTATUS Open(const std::u16string& devicePath = std::u16string());
    // Open, map the control block and register a new event: a connected client.
    NTSTATUS Connect();
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
                     ULONG outputLength = 0);
    NTSTATUS Answer(LONG status); // the plain form
    NTSTATUS Answer(LONG status, transport::u32 number);
    NTSTATUS Tick();
    NTSTATUS SetFormat(ULONG sampleRate);
    NTSTATUS Close();
    // One field of the block, read once as the driver may be writing it.
    template <class Field>
    Field Read(const Field& field) const {
        return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
    }

    // From now on a thread of the client's process waits for the event and calls onSignal with
    // the number of the handshake it sees, until StopResponding or the call's return of false.
    void Respond(std::function<bool(transport::u32 number)> onSignal);
    void StopResponding();

    host::Process& process;
    const bool render;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    transport::TransportControlBlock* block = nullptr;

private:
    std::atomic<bool> stop{false};
    std::thread responder;
};

// The audio engine's pin on the WaveRT filter behind a client direction, stepped one state
// request at a time.
class RawEngine {
public:
    explicit RawEngine(host::Process& process) : process(process), engine(process) {}
    // Opens the filter behind the client's direction and allocates the buffer (a handshake).
    NTSTATUS Open(bool clientRender);
    NTSTATUS Step(KSSTATE state);

    host::Process& process;
    host::engine::AudioEngine engine;
};

class HostileTest : public DriverTest {
protected:
    void TearDown() override;

    RawClient& NewClient(bool render, bool is32Bit = false, const std::string& name = "client");
    RawEngine& NewEngine();
    // The device's own name ("\Device\...") followed by a direction's file name.
    std::u16string DevicePath(bool render);
    // A new client can connect on the direction and leave it again.
    void ExpectReusable(bool render);

    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<std::unique_ptr<RawEngine>> engines;
};
