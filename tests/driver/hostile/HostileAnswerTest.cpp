// Answers that must not count: ticks racing the answer from many threads, answers sent late,
// twice, for another handshake or when none waits. The engine's state step to acquire is the
// handshake under test; the client's answer decides whether it may succeed.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "HostileRig.h"

namespace {

constexpr LONG Refusal = static_cast<LONG>(0xC0000184); // STATUS_INVALID_DEVICE_STATE

class HostileAnswerTest : public HostileTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        LoadAndStart();
        client = &NewClient(GetParam());
        ASSERT_EQ(client->Connect(), STATUS_SUCCESS);
        AcceptAll();
        engine = &NewEngine();
        ASSERT_EQ(engine->Open(GetParam()), STATUS_SUCCESS);
    }
    // Also the answers the engine's close needs, once a test's own responder (which may use
    // the test's locals) is done.
    void AcceptAll() {
        client->Respond([this](transport::u32 number) {
            client->Answer(STATUS_SUCCESS, number);
            return true;
        });
    }
    bool AcquireRequested() const {
        return client->Read(client->block->StreamState) == KSSTATE_ACQUIRE;
    }

    RawClient* client = nullptr;
    RawEngine* engine = nullptr;
};

TEST_P(HostileAnswerTest, TickStormsNeverTurnARefusalIntoSuccess) {
    // The client refuses every other step up, and notes what it answered to which handshake.
    std::mutex lock;
    std::map<transport::u32, bool> refused;
    unsigned steps = 0;
    client->Respond([&](transport::u32 number) {
        const bool refuse = AcquireRequested() && steps++ % 2 == 0;
        {
            std::lock_guard<std::mutex> hold(lock);
            refused[number] = refuse;
        }
        client->Answer(refuse ? Refusal : STATUS_SUCCESS); // the plain form, as old clients do
        return true;
    });
    std::atomic<bool> storm{true};
    std::vector<std::thread> tickers;
    for (int thread = 0; thread < 8; thread++) {
        tickers.emplace_back([&] {
            while (storm.load()) {
                client->Tick();
            }
        });
    }
    unsigned refusals = 0;
    unsigned refusalsTakenAsSuccess = 0;
    unsigned successes = 0;
    for (int attempt = 0; attempt < 2000; attempt++) {
        const NTSTATUS up = engine->Step(KSSTATE_ACQUIRE);
        const transport::u32 number = client->Read(client->block->HandshakeNumber);
        bool wasRefused = false;
        {
            std::lock_guard<std::mutex> hold(lock);
            wasRefused = refused.count(number) != 0 && refused[number];
        }
        refusals += wasRefused ? 1 : 0;
        refusalsTakenAsSuccess += wasRefused && NT_SUCCESS(up) ? 1 : 0;
        if (NT_SUCCESS(up)) {
            successes++;
            EXPECT_EQ(engine->Step(KSSTATE_STOP), STATUS_SUCCESS);
        }
    }
    storm = false;
    for (std::thread& ticker : tickers) {
        ticker.join();
    }
    AcceptAll();
    EXPECT_EQ(refusalsTakenAsSuccess, 0u);
    EXPECT_GT(refusals, 500u);
    EXPECT_GT(successes, 500u);
}

TEST_P(HostileAnswerTest, AnswersLateTwiceOrForAnotherHandshakeNeverCount) {
    struct Row {
        const char* what;
        // Sent before the first step, while no handshake waits.
        std::function<void(RawClient&)> before;
        // The client's answer to the first step's handshake.
        std::function<void(RawClient&, transport::u32)> answer;
        NTSTATUS first;
        // Sent after the first step has returned.
        std::function<void(RawClient&, transport::u32)> after;
        // How the first step's handshake is recorded in the block.
        transport::u32 outcome;
    };
    auto nothing = [](RawClient&) {};
    auto nothingAfter = [](RawClient&, transport::u32) {};
    const Row rows[] = {
        {"success twice", nothing,
         [](RawClient& c, transport::u32 n) {
             c.Answer(STATUS_SUCCESS, n);
             c.Answer(STATUS_SUCCESS, n);
         },
         STATUS_SUCCESS, nothingAfter, transport::HandshakeAnswered},
        {"refusal, then success", nothing,
         [](RawClient& c, transport::u32 n) {
             c.Answer(Refusal, n);
             c.Answer(STATUS_SUCCESS);
         },
         Refusal, nothingAfter, transport::HandshakeRefused},
        {"a warning", nothing,
         [](RawClient& c, transport::u32 n) { c.Answer(LONG(0x80000005), n); },
         NTSTATUS(0x80000005), nothingAfter, transport::HandshakeRefused},
        {"success after the time-out", nothing, [](RawClient&, transport::u32) {},
         STATUS_DEVICE_NOT_READY,
         [](RawClient& c, transport::u32 n) {
             c.Answer(STATUS_SUCCESS, n);
             c.Answer(STATUS_SUCCESS);
         },
         transport::HandshakeTimedOut},
        {"success while no handshake waits",
         [](RawClient& c) {
             c.Answer(STATUS_SUCCESS);
             c.Answer(STATUS_SUCCESS, c.Read(c.block->HandshakeNumber) + 1);
         },
         [](RawClient& c, transport::u32 n) { c.Answer(Refusal, n); }, Refusal, nothingAfter,
         transport::HandshakeRefused},
        {"success for the next handshake", nothing,
         [](RawClient& c, transport::u32 n) { c.Answer(STATUS_SUCCESS, n + 1); },
         STATUS_DEVICE_NOT_READY, nothingAfter, transport::HandshakeTimedOut},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // The first step up gets the row's answer, the next one a refusal; steps down succeed.
        std::atomic<unsigned> stepsUp{0};
        std::atomic<bool> rowAnswered{false};
        client->Respond([&](transport::u32 number) {
            if (!AcquireRequested()) {
                client->Answer(STATUS_SUCCESS, number);
            } else if (stepsUp++ == 0) {
                row.answer(*client, number);
                rowAnswered = true;
            } else {
                client->Answer(Refusal, number);
            }
            return true;
        });
        row.before(*client);
        EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), row.first);
        // Every answer of the row reaches the driver before the next handshake opens: one in the
        // old form arriving later would rightly be taken as that handshake's answer.
        while (!rowAnswered) {
            std::this_thread::yield();
        }
        row.after(*client, client->Read(client->block->HandshakeNumber));
        // A client that was not heard is still awaited; one that answered is not.
        EXPECT_EQ(client->Read(client->block->HandshakeOutcome), row.outcome);
        EXPECT_EQ(client->Read(client->block->HandshakeFlags),
                  row.outcome == transport::HandshakeTimedOut ? transport::AwaitingClient : 0u);
        if (row.first == STATUS_SUCCESS) {
            EXPECT_EQ(engine->Step(KSSTATE_STOP), STATUS_SUCCESS);
        }
        EXPECT_EQ(engine->Step(KSSTATE_ACQUIRE), Refusal);
        EXPECT_EQ(client->Read(client->block->HandshakeOutcome), transport::HandshakeRefused);
        AcceptAll();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HostileAnswerTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Render" : "Capture");
                         });

} // namespace
