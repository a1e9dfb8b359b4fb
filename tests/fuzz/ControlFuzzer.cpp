// Arbitrary control requests to a connected client file of the driver, loaded once per process
// in the host platform: nothing may crash or leak, and a refused request leaves the control
// block's format and latency as they were.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DriverTest.h"
#include "kernel/UserEvents.h"

namespace {

void Require(bool condition, const char* step) {
    if (!condition) {
        std::fprintf(stderr, "fuzz set-up failed at: %s\n", step);
        std::abort();
    }
}

struct Client {
    host::Process* process = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    transport::TransportControlBlock* block = nullptr;
};

// One machine with the driver started and a connected client of each width, kept for the
// whole run; the verifier runs when the process exits.
struct World : DriverTest {
    Client clients[2];

    World() {
        SetUp();
        Require(Load() == STATUS_SUCCESS && AddDevice() == STATUS_SUCCESS &&
                    Start() == STATUS_SUCCESS,
                "start");
        for (int index = 0; index < 2; index++) {
            Client& client = clients[index];
            const bool is32Bit = index == 1;
            client.process = &NewProcess(is32Bit, "fuzz");
            // The 32-bit client takes the capture file, the 64-bit one the render file.
            client.file = OpenTransport(*client.process, !is32Bit);
            Require(client.file != INVALID_HANDLE_VALUE, "open");
            client.block = ClientControlBlock(*client.process, client.file);
            Require(client.block != nullptr, "control block");
            HANDLE event = nullptr;
            {
                host::ProcessScope scope(client.process);
                event = host::user::CreateEvent(false, false);
            }
            unsigned char input[transport::SetEventInputBytes64] = {transport::ProtocolVersion};
            std::memcpy(input + transport::SetEventHandleOffset, &event, is32Bit ? 4 : 8);
            Require(Control(*client.process, client.file, transport::IoctlSetEvent, input,
                            is32Bit ? 8 : 12, nullptr, 0) == STATUS_SUCCESS,
                    "event");
        }
    }

    ~World() override {
        const std::vector<std::string> problems = Unload();
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "verifier: %s\n", problem.c_str());
        }
        if (!problems.empty()) {
            std::abort();
        }
    }

    void TestBody() override {}
};

World& TheWorld() {
    static World world;
    return world;
}

constexpr std::uint32_t KnownCodes[] = {transport::IoctlGetControlBlock, transport::IoctlSetFormat,
                                        transport::IoctlSetLatency, transport::IoctlSetEvent,
                                        transport::IoctlReportStatus};

struct Watched {
    std::uint32_t format[5];
    std::uint32_t latency;
    std::uint8_t connected;
};

Watched Watch(const transport::TransportControlBlock* block) {
    Watched state;
    std::memset(&state, 0, sizeof(state));
    state.format[0] = block->SampleRate;
    state.format[1] = block->BitsPerSample;
    state.format[2] = block->Channels;
    state.format[3] = block->ContainerBytes;
    state.format[4] = block->ChannelMask;
    state.latency = block->LatencyFrames;
    state.connected = block->ClientConnected;
    return state;
}

} // namespace

// Layout: [selector][output size][code, 4 bytes, used when the selector asks for a raw one]
// [input bytes...]. The selector picks the client (bit 0), a known or a raw code, and whether
// the input's first word is forced to the protocol's version so requests get past it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) {
        return 0;
    }
    World& world = TheWorld();
    const std::uint8_t selector = data[0];
    Client& client = world.clients[selector & 1];
    const std::uint32_t outputBytes = data[1] % 24;
    std::uint32_t code;
    std::memcpy(&code, data + 2, 4);
    if ((selector & 0x6) != 0) {
        code = KnownCodes[code % 5];
    } else if ((code & 3) == 1 || (code & 3) == 2) {
        // The host's I/O manager serves buffered and neither-method requests only; a neither
        // request reaches the driver without a system buffer.
        code |= 3;
    }
    std::vector<std::uint8_t> input(data + 6, data + size);
    if ((selector & 0x8) != 0 && input.size() >= 4) {
        const std::uint32_t version = transport::ProtocolVersion;
        std::memcpy(input.data(), &version, 4);
    }
    // Keep the one registered event registered: a close would need a reopen per input.
    std::vector<std::uint8_t> output(outputBytes);

    const Watched before = Watch(client.block);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG returned = 0;
    {
        host::ProcessScope scope(client.process);
        host::user::DeviceIoControl(client.file, code, input.empty() ? nullptr : input.data(),
                                    static_cast<ULONG>(input.size()),
                                    output.empty() ? nullptr : output.data(), outputBytes,
                                    &returned, &status);
    }
    const Watched after = Watch(client.block);
    if (!NT_SUCCESS(status) && std::memcmp(&before, &after, sizeof(before)) != 0) {
        std::fprintf(stderr, "refused request 0x%X (status 0x%X) changed the control block\n", code,
                     static_cast<unsigned>(status));
        std::abort();
    }
    if (after.connected != 1) {
        std::fprintf(stderr, "the client lost its connection after request 0x%X\n", code);
        std::abort();
    }
    if (returned > outputBytes) {
        std::abort();
    }
    return 0;
}
