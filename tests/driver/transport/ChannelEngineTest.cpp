// The channel engine in the started driver: the handshake against clients that answer, fail,
// name another handshake, stay silent or send a tick instead, ticks waking the worker, and
// channels whose worker never started. Nothing handshakes without a stream yet, so the handshake is
// called directly through the loaded image, under ChannelLock as its callers hold it: white-box,
// host build only.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "DriverTest.h"
#include "kernel/Objects.h"
#include "kernel/SystemThread.h"
#include "kernel/UserEvents.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

using transport::TransportControlBlock;

constexpr NTSTATUS FailingAnswer = static_cast<NTSTATUS>(0xC0000184); // STATUS_INVALID_DEVICE_STATE

class ChannelEngineWhiteBoxTest : public DriverTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        LoadAndStart();
        client = &NewProcess(GetParam());
        file = OpenTransport(*client, true);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        block = ClientControlBlock(*client, file);
        ASSERT_NE(block, nullptr);
    }

    void RegisterEvent() {
        {
            host::ProcessScope scope(client);
            event = host::user::CreateEvent(false, false);
        }
        ASSERT_NE(event, nullptr);
        unsigned char input[12] = {1};
        unsigned long long value = reinterpret_cast<unsigned long long>(event);
        std::memcpy(input + 4, &value, GetParam() ? 4 : 8);
        ASSERT_EQ(Control(*client, file, transport::IoctlSetEvent, input, GetParam() ? 8 : 12,
                          nullptr, 0),
                  STATUS_SUCCESS);
    }
    NTSTATUS Report(LONG status) {
        transport::ReportStatusInput input = {transport::ProtocolVersion, status};
        return Control(*client, file, transport::IoctlReportStatus, &input, sizeof(input), nullptr,
                       0);
    }
    NTSTATUS Report(LONG status, transport::u32 number) {
        transport::ReportNumberedStatusInput input = {transport::ProtocolVersion, status, number};
        return Control(*client, file, transport::IoctlReportStatus, &input, sizeof(input), nullptr,
                       0);
    }
    // One handshake as the stream will run it.
    NTSTATUS RunHandshake() {
        TransportChannel* channel = Channel();
        channel->ChannelLock.Lock();
        NTSTATUS result = Resolve(&Handshake)(channel);
        channel->ChannelLock.Unlock();
        return result;
    }
    TransportChannel* Channel() { return Endpoint(true).channel; }

    host::Process* client = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    TransportControlBlock* block = nullptr;
};

TEST_P(ChannelEngineWhiteBoxTest, TheClientIsAwaitedFromStartToTheFirstHandshake) {
    EXPECT_EQ(block->HandshakeFlags, transport::AwaitingClient | transport::HandshakeActive);
    EXPECT_EQ(Endpoint(false).ControlBlock()->HandshakeFlags,
              transport::AwaitingClient | transport::HandshakeActive);
}

TEST_P(ChannelEngineWhiteBoxTest, WithoutAnEventTheHandshakeFailsAtOnce) {
    EXPECT_EQ(RunHandshake(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(block->HandshakeFlags, transport::AwaitingClient);
    EXPECT_EQ(block->HandshakeOutcome, transport::HandshakeNoClient);
}

// The client's side of one handshake, on its own thread: wait for the event, look at the block,
// then send what the row says.
struct ClientScript {
    enum class Kind { Plain, Numbered, OtherNumber, TickOnly, Silent } kind;
    LONG answer;
};

TEST_P(ChannelEngineWhiteBoxTest, TheHandshakeReturnsWhatTheClientAnsweredAndRecordsHowItEnded) {
    RegisterEvent();
    struct Row {
        const char* what;
        ClientScript script;
        NTSTATUS expected;
        unsigned flagsAfter;
        transport::u32 outcome;
    };
    const Row rows[] = {
        {"success",
         {ClientScript::Kind::Plain, STATUS_SUCCESS},
         STATUS_SUCCESS,
         0,
         transport::HandshakeAnswered},
        {"failure",
         {ClientScript::Kind::Plain, FailingAnswer},
         FailingAnswer,
         0,
         transport::HandshakeRefused},
        {"a warning is a failure",
         {ClientScript::Kind::Numbered, static_cast<LONG>(0x80000005)},
         static_cast<NTSTATUS>(0x80000005),
         0,
         transport::HandshakeRefused},
        {"numbered failure",
         {ClientScript::Kind::Numbered, FailingAnswer},
         FailingAnswer,
         0,
         transport::HandshakeRefused},
        // An answer that names another handshake, or a tick, is no answer: the handshake waits
        // its second out.
        {"success for another number",
         {ClientScript::Kind::OtherNumber, STATUS_SUCCESS},
         STATUS_DEVICE_NOT_READY,
         transport::AwaitingClient,
         transport::HandshakeTimedOut},
        {"a tick instead",
         {ClientScript::Kind::TickOnly, 0},
         STATUS_DEVICE_NOT_READY,
         transport::AwaitingClient,
         transport::HandshakeTimedOut},
        {"silence",
         {ClientScript::Kind::Silent, 0},
         STATUS_DEVICE_NOT_READY,
         transport::AwaitingClient,
         transport::HandshakeTimedOut},
        // The answer after a timed-out handshake must not satisfy the next one.
        {"success again",
         {ClientScript::Kind::Numbered, STATUS_SUCCESS},
         STATUS_SUCCESS,
         0,
         transport::HandshakeAnswered},
    };
    transport::u32 number = block->HandshakeNumber;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::atomic<unsigned> flagsSeen{0xFFFFFFFF};
        std::thread clientThread([&] {
            host::ProcessScope scope(client);
            if (host::user::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
                return;
            }
            flagsSeen = block->HandshakeFlags;
            const transport::u32 seen = block->HandshakeNumber;
            switch (row.script.kind) {
            case ClientScript::Kind::Plain:
                Report(row.script.answer);
                break;
            case ClientScript::Kind::Numbered:
                Report(row.script.answer, seen);
                break;
            case ClientScript::Kind::OtherNumber:
                Report(row.script.answer, seen + 1);
                break;
            case ClientScript::Kind::TickOnly:
                Report(transport::StatusTransportTick);
                break;
            default:
                break;
            }
        });
        EXPECT_EQ(RunHandshake(), row.expected);
        clientThread.join();
        EXPECT_EQ(flagsSeen.load(), transport::AwaitingClient | transport::HandshakeActive);
        EXPECT_EQ(block->HandshakeFlags, row.flagsAfter);
        EXPECT_EQ(block->HandshakeNumber, ++number);
        EXPECT_EQ(block->HandshakeOutcome, row.outcome);
        const bool answered = row.outcome == transport::HandshakeAnswered ||
                              row.outcome == transport::HandshakeRefused;
        EXPECT_EQ(block->ClientStatus, answered ? row.expected : STATUS_UNSUCCESSFUL);
    }
}

// The tick event is auto-reset and only the worker waits on it: a tick report signals it and
// the worker's wake-up consumes it. Waits for that without a deadline of its own.
bool TickConsumed(TransportChannel* channel) {
    for (int spin = 0; spin < 2000000; spin++) {
        if (KeReadStateEvent(&channel->tickEvent) == 0) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

TEST_P(ChannelEngineWhiteBoxTest, TicksWakeTheWorkerAndOnlyTheWorker) {
    RegisterEvent();
    TransportChannel* channel = Channel();
    for (int tick = 0; tick < 5; tick++) {
        ASSERT_EQ(Report(transport::StatusTransportTick), STATUS_SUCCESS);
        EXPECT_TRUE(TickConsumed(channel));
    }
    // A tick never reaches the handshake's answer.
    EXPECT_EQ(block->ClientStatus, 0);
    EXPECT_EQ(KeReadStateEvent(channel->latch.SettledEvent()), 0);

    // With the worker stopped the same report stays pending: the wake-ups above were its work.
    Resolve (&StopWorker)(channel);
    EXPECT_EQ(channel->workerHandle, nullptr);
    ASSERT_EQ(Report(transport::StatusTransportTick), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&channel->tickEvent), 1);
    // A new worker takes the pending tick.
    ASSERT_EQ(Resolve(&StartWorker)(channel), STATUS_SUCCESS);
    EXPECT_TRUE(TickConsumed(channel));
}

INSTANTIATE_TEST_SUITE_P(Clients, ChannelEngineWhiteBoxTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "From32Bit" : "From64Bit");
                         });

class WorkerStartTest : public DriverTest {};

// Without a worker the channels' destruction waits its second and still leaves nothing behind.
TEST_F(WorkerStartTest, AWorkerThatCannotBeCreatedFailsTheStartCleanly) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    host::FailSystemThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    for (const std::string& problem : Unload()) {
        ADD_FAILURE() << problem;
    }
}

// The thread runs but its object cannot be referenced: the stop still waits for its end
// through the handle, so it never outlives the channel.
TEST_F(WorkerStartTest, AWorkerThatCannotBeReferencedIsStillStopped) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    host::FailObjectReference(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    for (const std::string& problem : Unload()) {
        ADD_FAILURE() << problem;
    }
}

} // namespace
