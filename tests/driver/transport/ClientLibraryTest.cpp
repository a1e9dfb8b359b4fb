// The client library against the real driver in the host platform: a connection opens a
// direction, registers its event, sets format and latency, and a session answers handshakes
// the way its policy says. They look into the driver's endpoint and call its handshake:
// white-box, host build only.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ClientCases.h"
#include "DriverTest.h"
#include "HostBackend.h"
#include "conduit/Client.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace {

class ClientLibraryWhiteBoxTest : public DriverTest,
                                  public testing::WithParamInterface<ClientCase> {
protected:
    void SetUp() override {
        LoadAndStart();
        backend = std::make_unique<conduit::HostBackend>(NewProcess(GetParam().is32Bit));
    }
    bool Render() const { return GetParam().render; }
    conduit::Direction Direction() const {
        return Render() ? conduit::Direction::Render : conduit::Direction::Capture;
    }
    transport::TransportControlBlock* DriverBlock() { return Endpoint(Render()).ControlBlock(); }

    std::unique_ptr<conduit::HostBackend> backend;
};

TEST_P(ClientLibraryWhiteBoxTest, AConnectionRegistersItsEventAndSetsFormatAndLatency) {
    std::unique_ptr<conduit::Connection> connection;
    conduit::Status opened = conduit::Connection::Open(*backend, Direction(), &connection);
    ASSERT_TRUE(opened.ok()) << opened.ToString();
    EXPECT_EQ(DriverBlock()->ClientConnected, 1u);
    EXPECT_NE(Endpoint(Render()).clientEvent, nullptr);
    EXPECT_EQ(connection->DataBytes(), transport::DataBufferSize);

    conduit::DeviceFormat format;
    format.sampleRate = 48000;
    format.bitsPerSample = 16;
    format.channels = 2;
    format.containerBytes = 2;
    ASSERT_TRUE(connection->SetFormat(format).ok());
    ASSERT_TRUE(connection->SetLatency(480).ok());

    const transport::TransportControlBlock* block = DriverBlock();
    EXPECT_EQ(block->SampleRate, 48000u);
    EXPECT_EQ(block->LatencyFrames, 480u);

    conduit::StreamView view = connection->Read();
    EXPECT_TRUE(view.clientConnected);
    EXPECT_FALSE(view.streamOpen);
    EXPECT_EQ(view.deviceFormat.sampleRate, 48000u);
    EXPECT_EQ(view.deviceFormat.channelMask, 0x3u);
    EXPECT_EQ(view.latencyFrames, 480u);
    EXPECT_TRUE(view.problems.empty());

    // A refused request reaches the caller as the driver's status.
    format.sampleRate = 384001;
    EXPECT_EQ(connection->SetFormat(format).code(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block->SampleRate, 48000u);

    ASSERT_TRUE(connection->Close().ok());
    EXPECT_EQ(DriverBlock()->ClientConnected, 0u);
    EXPECT_EQ(Endpoint(Render()).clientFile, nullptr);
}

// Answers as the test says and counts what it was asked.
class ScriptedPolicy : public conduit::HandshakePolicy {
public:
    explicit ScriptedPolicy(conduit::HandshakeAnswer answer) : answer(answer) {}
    conduit::HandshakeAnswer Decide(const conduit::StreamView& view) override {
        flagsSeen = view.handshakeFlags;
        asked++;
        return answer;
    }
    conduit::HandshakeAnswer answer;
    std::atomic<unsigned> flagsSeen{0};
    std::atomic<int> asked{0};
};

TEST_P(ClientLibraryWhiteBoxTest, ASessionAnswersTheHandshakeAsItsPolicySays) {
    std::unique_ptr<conduit::Connection> connection;
    ASSERT_TRUE(conduit::Connection::Open(*backend, Direction(), &connection).ok());
    TransportChannel* channel = Endpoint(Render()).channel;

    struct Row {
        const char* what;
        conduit::HandshakeAnswer answer;
        NTSTATUS expected;
    };
    const Row rows[] = {
        {"accept", conduit::HandshakeAnswer::Accept(), STATUS_SUCCESS},
        {"fail", conduit::HandshakeAnswer::Fail(static_cast<std::int32_t>(0xC0000184)),
         static_cast<NTSTATUS>(0xC0000184)},
        {"never", conduit::HandshakeAnswer::Never(), STATUS_DEVICE_NOT_READY},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedPolicy policy(row.answer);
        conduit::ManualClock clock;
        conduit::Session session(*connection, clock, policy);
        std::atomic<bool> stop{false};
        std::thread loop([&] { session.Run(stop); });

        channel->ChannelLock.Lock();
        NTSTATUS result = Resolve(&Handshake)(channel);
        channel->ChannelLock.Unlock();
        stop = true;
        loop.join();

        EXPECT_EQ(result, row.expected);
        EXPECT_EQ(policy.asked.load(), 1);
        EXPECT_EQ(policy.flagsSeen.load(), transport::AwaitingClient | transport::HandshakeActive);
        EXPECT_EQ(session.stats().handshakes, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientLibraryWhiteBoxTest, EveryClientCase(), ClientCaseName);

} // namespace
