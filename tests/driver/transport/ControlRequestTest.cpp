// The client's control requests against the real driver in the host platform, from 64-bit and
// 32-bit client processes: answers, refusals that change nothing, the event registration and
// the connection state it drives, and the device format and latency limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ClientCases.h"
#include "DriverTest.h"
#include "kernel/UserEvents.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

using transport::TransportControlBlock;

std::vector<unsigned char> Words(std::initializer_list<unsigned> words) {
    std::vector<unsigned char> bytes(words.size() * 4);
    size_t offset = 0;
    for (unsigned word : words) {
        std::memcpy(bytes.data() + offset, &word, 4);
        offset += 4;
    }
    return bytes;
}

// The set-event payload as a client of the given width builds it.
std::vector<unsigned char> EventInput(HANDLE event, bool is32Bit) {
    std::vector<unsigned char> bytes(is32Bit ? transport::SetEventInputBytes32
                                             : transport::SetEventInputBytes64);
    const unsigned version = transport::ProtocolVersion;
    std::memcpy(bytes.data(), &version, 4);
    unsigned long long value = reinterpret_cast<unsigned long long>(event);
    std::memcpy(bytes.data() + transport::SetEventHandleOffset, &value, is32Bit ? 4 : 8);
    return bytes;
}

// The fields a refused request must leave alone.
struct BlockState {
    unsigned sampleRate, bits, channels, container, mask, latency;
    unsigned char connected;
    bool operator==(const BlockState& other) const {
        return std::memcmp(this, &other, sizeof(*this)) == 0;
    }
};

BlockState StateOf(const TransportControlBlock* block) {
    BlockState state;
    std::memset(&state, 0, sizeof(state));
    state.sampleRate = block->SampleRate;
    state.bits = block->BitsPerSample;
    state.channels = block->Channels;
    state.container = block->ContainerBytes;
    state.mask = block->ChannelMask;
    state.latency = block->LatencyFrames;
    state.connected = block->ClientConnected;
    return state;
}

class ControlRequestTest : public DriverTest, public testing::WithParamInterface<ClientCase> {
protected:
    void SetUp() override {
        LoadAndStart();
        client = &NewProcess(GetParam().is32Bit);
        file = OpenTransport(*client, GetParam().render);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        block = ClientControlBlock(*client, file);
        ASSERT_NE(block, nullptr);
    }

    NTSTATUS Send(ULONG code, const std::vector<unsigned char>& input, ULONG outputBytes = 0,
                  ULONG* returned = nullptr) {
        std::vector<unsigned char> output(outputBytes);
        return Control(*client, file, code, input.data(), static_cast<ULONG>(input.size()),
                       output.empty() ? nullptr : output.data(), outputBytes, returned);
    }
    NTSTATUS SetFormat(unsigned rate, unsigned bits, unsigned channels, unsigned container,
                       unsigned mask) {
        return Send(transport::IoctlSetFormat,
                    Words({transport::ProtocolVersion, rate, bits, channels, container, mask}));
    }
    NTSTATUS SetLatency(unsigned frames) {
        return Send(transport::IoctlSetLatency, Words({transport::ProtocolVersion, frames}));
    }
    HANDLE NewEvent(ACCESS_MASK access = EVENT_ALL_ACCESS) {
        host::ProcessScope scope(client);
        HANDLE event = host::user::CreateEvent(false, false, access);
        EXPECT_NE(event, nullptr);
        return event;
    }
    NTSTATUS Register(HANDLE event) {
        return Send(transport::IoctlSetEvent, EventInput(event, GetParam().is32Bit));
    }
    bool Signalled(HANDLE event) {
        host::ProcessScope scope(client);
        return host::user::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }
    TransportChannel* Channel() { return Endpoint(GetParam().render).channel; }

    host::Process* client = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    TransportControlBlock* block = nullptr;
};

TEST_P(ControlRequestTest, TheControlBlockAddressIsAsWideAsTheClientsPointers) {
    const ULONG width = GetParam().is32Bit ? 4 : 8;
    const std::vector<unsigned char> input = Words({transport::ProtocolVersion});
    struct Row {
        ULONG outputBytes;
        NTSTATUS expected;
    };
    for (const Row& row : {Row{0, STATUS_BUFFER_TOO_SMALL}, Row{width - 1, STATUS_BUFFER_TOO_SMALL},
                           Row{width, STATUS_SUCCESS}, Row{16, STATUS_SUCCESS}}) {
        SCOPED_TRACE(testing::Message() << "output " << row.outputBytes);
        std::vector<unsigned char> output(row.outputBytes, 0xCC);
        ULONG returned = 99;
        EXPECT_EQ(Control(*client, file, transport::IoctlGetControlBlock, input.data(), 4,
                          output.empty() ? nullptr : output.data(), row.outputBytes, &returned),
                  row.expected);
        if (row.expected == STATUS_SUCCESS) {
            EXPECT_EQ(returned, width);
            unsigned long long address = 0;
            std::memcpy(&address, output.data(), width);
            EXPECT_EQ(reinterpret_cast<TransportControlBlock*>(address), block);
            // Nothing past the pointer's width is written.
            for (ULONG index = width; index < row.outputBytes; index++) {
                EXPECT_EQ(output[index], 0xCC);
            }
        } else {
            EXPECT_EQ(returned, 0u);
        }
    }
}

TEST_P(ControlRequestTest, MalformedRequestsAreRefusedAndChangeNothing) {
    const bool is32Bit = GetParam().is32Bit;
    const unsigned v = transport::ProtocolVersion;
    std::vector<unsigned char> formatInput = Words({v, 48000, 16, 2, 2, 3});
    std::vector<unsigned char> shortEvent = EventInput(NewEvent(), is32Bit);
    shortEvent.pop_back();
    struct Row {
        const char* what;
        ULONG code;
        std::vector<unsigned char> input;
        ULONG outputBytes;
        NTSTATUS expected;
    };
    const std::vector<Row> rows = {
        {"empty input", transport::IoctlSetLatency, {}, 0, STATUS_INVALID_DEVICE_REQUEST},
        {"3-byte input",
         transport::IoctlGetControlBlock,
         {1, 0, 0},
         8,
         STATUS_INVALID_DEVICE_REQUEST},
        {"version 2 format", transport::IoctlSetFormat, Words({2, 48000, 16, 2, 2, 3}), 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"version 0 latency", transport::IoctlSetLatency, Words({0, 480}), 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"version 2 get", transport::IoctlGetControlBlock, Words({2}), 8,
         STATUS_INVALID_DEVICE_REQUEST},
        {"unknown code", 0x22A418, Words({v, 480}), 0, STATUS_INVALID_DEVICE_REQUEST},
        {"read-access twin of the format code", 0x226408, formatInput, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"short format", transport::IoctlSetFormat,
         std::vector<unsigned char>(formatInput.begin(), formatInput.end() - 1), 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"short latency",
         transport::IoctlSetLatency,
         {1, 0, 0, 0, 0xE0, 1, 0},
         0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"short event", transport::IoctlSetEvent, shortEvent, 0, STATUS_INVALID_DEVICE_REQUEST},
        {"short report",
         transport::IoctlReportStatus,
         {1, 0, 0, 0, 0, 0, 0},
         0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"get with no room", transport::IoctlGetControlBlock, Words({v}), is32Bit ? 3u : 7u,
         STATUS_BUFFER_TOO_SMALL},
        {"format out of limits", transport::IoctlSetFormat, Words({v, 48000, 16, 9, 2, 0}), 0,
         STATUS_INVALID_PARAMETER},
        {"latency beyond the buffer", transport::IoctlSetLatency, Words({v, 0xFFFFFFFF}), 0,
         STATUS_INVALID_PARAMETER},
    };
    // Once unconnected, once connected: a refusal must not change the connection either.
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round == 0 ? "without an event" : "with an event");
        if (round == 1) {
            ASSERT_EQ(Register(NewEvent()), STATUS_SUCCESS);
        }
        block->ClientStatus = 0x1234;
        const BlockState before = StateOf(block);
        EXPECT_EQ(before.connected, round);
        for (const Row& row : rows) {
            SCOPED_TRACE(row.what);
            // A registered event is checked before the length of a new one.
            const NTSTATUS expected = round == 1 && row.code == transport::IoctlSetEvent
                                          ? STATUS_ALREADY_REGISTERED
                                          : row.expected;
            ULONG returned = 99;
            EXPECT_EQ(Send(row.code, row.input, row.outputBytes, &returned), expected);
            EXPECT_EQ(returned, 0u);
            EXPECT_TRUE(StateOf(block) == before);
            EXPECT_EQ(block->ClientStatus, 0x1234);
        }
    }
}

// Signals the client through the driver's own routine and reads its endpoint: host build only.
class ControlRequestWhiteBoxTest : public ControlRequestTest {};

TEST_P(ControlRequestWhiteBoxTest, TheConnectionFollowsTheEventAndTheFile) {
    EXPECT_EQ(block->ClientConnected, 0u);
    // Requests that succeed without an event leave the client unconnected.
    EXPECT_EQ(SetLatency(480), STATUS_SUCCESS);
    EXPECT_EQ(block->ClientConnected, 0u);

    struct Row {
        const char* what;
        HANDLE handle;
        NTSTATUS expected;
    };
    const Row refused[] = {
        {"invalid handle", reinterpret_cast<HANDLE>(0x7770), STATUS_INVALID_HANDLE},
        {"null handle", nullptr, STATUS_INVALID_HANDLE},
        {"the transport file itself", file, STATUS_OBJECT_TYPE_MISMATCH},
        {"an event without modify access", NewEvent(SYNCHRONIZE), STATUS_ACCESS_DENIED},
    };
    for (const Row& row : refused) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Register(row.handle), row.expected);
        EXPECT_EQ(block->ClientConnected, 0u);
        EXPECT_EQ(Endpoint(GetParam().render).clientEvent, nullptr);
    }

    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    EXPECT_EQ(Register(first), STATUS_SUCCESS);
    EXPECT_EQ(block->ClientConnected, 1u);
    EXPECT_EQ(Register(second), STATUS_ALREADY_REGISTERED);
    EXPECT_EQ(Register(first), STATUS_ALREADY_REGISTERED);
    EXPECT_EQ(block->ClientConnected, 1u);

    // The first event is the one the driver signals.
    EXPECT_TRUE(Resolve(&SignalClient)(Channel()));
    EXPECT_TRUE(Signalled(first));
    EXPECT_FALSE(Signalled(second));

    // The client's own handle may go: the driver holds its own reference.
    {
        host::ProcessScope scope(client);
        EXPECT_TRUE(host::user::CloseHandle(first));
    }
    EXPECT_TRUE(Resolve(&SignalClient)(Channel()));

    TransportControlBlock* driverView = Endpoint(GetParam().render).ControlBlock();
    Close(*client, file);
    EXPECT_EQ(driverView->ClientConnected, 0u);
    EXPECT_EQ(Endpoint(GetParam().render).clientEvent, nullptr);
    EXPECT_FALSE(Resolve(&SignalClient)(Channel()));
}

TEST_P(ControlRequestWhiteBoxTest, TwoRegistrationsRacingOnOneFileNeverBothSucceed) {
    for (int attempt = 0; attempt < 25; attempt++) {
        SCOPED_TRACE(testing::Message() << "attempt " << attempt);
        HANDLE events[2] = {NewEvent(), NewEvent()};
        NTSTATUS results[2] = {STATUS_PENDING, STATUS_PENDING};
        std::atomic<int> ready{0};
        auto registerOne = [&](int index) {
            ready++;
            while (ready.load() < 2) {
                std::this_thread::yield();
            }
            results[index] = Register(events[index]);
        };
        std::thread one(registerOne, 0);
        std::thread two(registerOne, 1);
        one.join();
        two.join();
        EXPECT_EQ((results[0] == STATUS_SUCCESS) + (results[1] == STATUS_SUCCESS), 1);
        EXPECT_EQ((results[0] == STATUS_ALREADY_REGISTERED) +
                      (results[1] == STATUS_ALREADY_REGISTERED),
                  1);
        // The winner's event is the registered one.
        ASSERT_TRUE(Resolve(&SignalClient)(Channel()));
        const int winner = results[0] == STATUS_SUCCESS ? 0 : 1;
        EXPECT_TRUE(Signalled(events[winner]));
        EXPECT_FALSE(Signalled(events[1 - winner]));

        Close(*client, file);
        {
            host::ProcessScope scope(client);
            host::user::CloseHandle(events[0]);
            host::user::CloseHandle(events[1]);
        }
        file = OpenTransport(*client, GetParam().render);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
}

TEST_P(ControlRequestTest, FormatRequestsKeepToTheLimits) {
    struct Row {
        const char* what;
        DeviceFormat requested;
        NTSTATUS expected;
        unsigned storedMask; // when accepted
    };
    const Row rows[] = {
        {"stereo, default mask", {48000, 16, 2, 2, 0}, STATUS_SUCCESS, 0x3},
        {"three channels, default mask", {48000, 16, 3, 2, 0}, STATUS_SUCCESS, 0},
        {"mask bit 31", {48000, 16, 2, 2, 0x80000003}, STATUS_SUCCESS, 0x80000003},
        {"mask bit 18", {48000, 16, 2, 2, 0x40003}, STATUS_INVALID_PARAMETER, 0},
        {"mask bit 30", {48000, 16, 2, 2, 0x40000003}, STATUS_INVALID_PARAMETER, 0},
        {"mask bit 17", {44100, 16, 2, 2, 0x20003}, STATUS_SUCCESS, 0x20003},
        {"highest rate", {384000, 24, 2, 4, 0}, STATUS_SUCCESS, 0x3},
        {"rate one past the highest", {384001, 24, 2, 4, 0}, STATUS_INVALID_PARAMETER, 0},
        {"lowest rate", {8000, 8, 1, 1, 0}, STATUS_SUCCESS, 0x4},
        {"rate one below the lowest", {7999, 8, 1, 1, 0}, STATUS_INVALID_PARAMETER, 0},
        {"32 valid bits in 1-byte containers", {48000, 32, 2, 1, 0}, STATUS_SUCCESS, 0x3},
        {"7 bits", {48000, 7, 2, 2, 0}, STATUS_INVALID_PARAMETER, 0},
        {"33 bits", {48000, 33, 2, 4, 0}, STATUS_INVALID_PARAMETER, 0},
        {"no channels", {48000, 16, 0, 2, 0}, STATUS_INVALID_PARAMETER, 0},
        {"nine channels", {48000, 16, 9, 2, 0}, STATUS_INVALID_PARAMETER, 0},
        {"eight channels", {96000, 24, 8, 3, 0}, STATUS_SUCCESS, 0x63F},
        {"empty containers", {48000, 16, 2, 0, 0}, STATUS_INVALID_PARAMETER, 0},
        {"5-byte containers", {48000, 16, 2, 5, 0}, STATUS_INVALID_PARAMETER, 0},
        {"every field zero", {0, 0, 0, 0, 0}, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const BlockState before = StateOf(block);
        const DeviceFormat& f = row.requested;
        EXPECT_EQ(
            SetFormat(f.SampleRate, f.BitsPerSample, f.Channels, f.ContainerBytes, f.ChannelMask),
            row.expected);
        if (row.expected != STATUS_SUCCESS) {
            EXPECT_TRUE(StateOf(block) == before);
            continue;
        }
        EXPECT_EQ(block->SampleRate, f.SampleRate);
        EXPECT_EQ(block->BitsPerSample, f.BitsPerSample);
        EXPECT_EQ(block->Channels, f.Channels);
        EXPECT_EQ(block->ContainerBytes, f.ContainerBytes);
        EXPECT_EQ(block->ChannelMask, row.storedMask);
        EXPECT_EQ(block->LatencyFrames, before.latency);
    }
}

TEST_P(ControlRequestTest, AnEqualFormatWritesNothing) {
    ASSERT_EQ(SetFormat(48000, 16, 2, 2, 0), STATUS_SUCCESS);
    // A marker the driver would overwrite if it republished the format (the client's view and
    // the driver's are the same pages).
    block->SampleRate = 12345;
    EXPECT_EQ(SetFormat(48000, 16, 2, 2, 0), STATUS_SUCCESS);
    EXPECT_EQ(SetFormat(48000, 16, 2, 2, 3), STATUS_SUCCESS); // the default mask spelled out
    EXPECT_EQ(block->SampleRate, 12345u);
    EXPECT_EQ(SetFormat(44100, 16, 2, 2, 0), STATUS_SUCCESS);
    EXPECT_EQ(block->SampleRate, 44100u);
}

TEST_P(ControlRequestTest, LatencyMustFitTheDataBufferInTheEffectiveFormat) {
    // The start-up format: 8 channels of 4-byte containers, 32 bytes a frame. The block shows
    // no latency until the first latency request.
    EXPECT_EQ(block->LatencyFrames, 0u);
    const unsigned startupLimit = transport::DataBufferSize / 32;
    EXPECT_EQ(SetLatency(startupLimit + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block->LatencyFrames, 0u);
    // The start-up latency (960 frames) again: nothing to publish.
    EXPECT_EQ(SetLatency(960), STATUS_SUCCESS);
    EXPECT_EQ(block->LatencyFrames, 0u);
    EXPECT_EQ(SetLatency(startupLimit), STATUS_SUCCESS);
    EXPECT_EQ(block->LatencyFrames, startupLimit);

    // Stereo 16-bit: 4 bytes a frame, so the limit grows eightfold.
    ASSERT_EQ(SetFormat(48000, 16, 2, 2, 0), STATUS_SUCCESS);
    const unsigned stereoLimit = transport::DataBufferSize / 4;
    EXPECT_EQ(SetLatency(stereoLimit + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLatency(stereoLimit), STATUS_SUCCESS);
    EXPECT_EQ(block->LatencyFrames, stereoLimit);
    // A count whose byte size overflows 32 bits is still too large.
    EXPECT_EQ(SetLatency(0x40000000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetLatency(480), STATUS_SUCCESS);
    EXPECT_EQ(block->LatencyFrames, 480u);
}

INSTANTIATE_TEST_SUITE_P(Clients, ControlRequestTest, EveryClientCase(), ClientCaseName);
INSTANTIATE_TEST_SUITE_P(Clients, ControlRequestWhiteBoxTest, EveryClientCase(), ClientCaseName);

} // namespace
