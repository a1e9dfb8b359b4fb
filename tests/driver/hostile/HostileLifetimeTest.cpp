// Clients that go away the hard ways: a handle that outlives its owner in another process, and a
// process that dies at each step of its life, with requests of its own still inside the driver.
// Every case ends with the direction reusable and the verifier clean.
#include <gtest/gtest.h>

#include "HostileRig.h"
#include "kernel/IoManager.h"
#include "kernel/Memory.h"
#include "kernel/UserMode.h"

namespace {

namespace user = host::user;

// Parameter: the client's file is the Render file (else the Capture file).
class HostileLifetimeTest : public HostileTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override { LoadAndStart(); }
    bool Render() const { return GetParam(); }

    // A connected client whose handshakes the engine's buffer allocation has run through.
    RawClient& StreamingClient(RawEngine** engine) {
        RawClient& client = NewClient(Render());
        EXPECT_EQ(client.Connect(), STATUS_SUCCESS);
        client.Respond([&client](transport::u32 number) {
            client.Answer(STATUS_SUCCESS, number);
            return true;
        });
        *engine = &NewEngine();
        EXPECT_EQ((*engine)->Open(Render()), STATUS_SUCCESS);
        return client;
    }

    // The engine's state step that waits for the client, who sees it and never answers.
    // Returns once the client has seen the handshake; *step ends with the request.
    void StepUnanswered(RawClient& client, RawEngine& engine, std::thread* step, NTSTATUS* result) {
        std::atomic<bool> seen{false};
        client.Respond([&seen](transport::u32) {
            seen = true;
            return false;
        });
        *step = std::thread([&engine, result] { *result = engine.Step(KSSTATE_ACQUIRE); });
        while (!seen.load()) {
            std::this_thread::yield();
        }
        client.StopResponding();
    }

    // How the last handshake ended, by the driver's own record in the block, which a new client
    // of the direction sees; no clock can tell the client's death from a time-out as well.
    void ExpectLastHandshakeEndedBy(transport::u32 outcome) {
        RawClient& next = NewClient(Render(), false, "next");
        ASSERT_EQ(next.Connect(), STATUS_SUCCESS);
        EXPECT_EQ(next.Read(next.block->HandshakeOutcome), outcome);
        EXPECT_EQ(next.Close(), STATUS_SUCCESS);
    }
};

TEST_P(HostileLifetimeTest, ADuplicatedHandleReleasesTheViewsWhereTheyAre) {
    struct Row {
        const char* what;
        bool ownerExitsFirst;
        bool otherExits; // instead of closing its handle
    };
    for (const Row& row : {Row{"the other closes while the owner lives", false, false},
                           Row{"the owner exits, then the other closes", true, false},
                           Row{"the owner exits, then the other exits", true, true}}) {
        SCOPED_TRACE(row.what);
        RawClient& owner = NewClient(Render(), false, "owner");
        ASSERT_EQ(owner.Connect(), STATUS_SUCCESS);
        host::Process& other = NewProcess(true, "other");
        HANDLE copy = nullptr;
        {
            host::ProcessScope scope(&owner.process);
            copy = user::DuplicateHandle(owner.file, other);
        }
        ASSERT_NE(copy, nullptr);
        ASSERT_EQ(owner.Close(), STATUS_SUCCESS);
        // Not the last handle: the client and its views stay.
        EXPECT_EQ(host::LiveMappings(&owner.process).size(), 2u);
        if (row.ownerExitsFirst) {
            Exit(owner.process);
        }
        if (row.otherExits) {
            Exit(other);
        } else {
            Close(other, copy);
        }
        EXPECT_TRUE(host::LiveMappings(&owner.process).empty());
        EXPECT_TRUE(host::LiveMappings(&other).empty());
        ExpectReusable(Render());
    }
}

TEST_P(HostileLifetimeTest, AClientDyingAtAnyStepLeavesTheDirectionReusable) {
    const std::pair<const char*, std::function<void(RawClient&)>> steps[] = {
        {"opened", [](RawClient& client) { ASSERT_EQ(client.Open(), STATUS_SUCCESS); }},
        {"connected", [](RawClient& client) { ASSERT_EQ(client.Connect(), STATUS_SUCCESS); }},
        {"format set",
         [](RawClient& client) {
             ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
             ASSERT_EQ(client.SetFormat(44100), STATUS_SUCCESS);
         }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.first);
        RawClient& client = NewClient(Render());
        step.second(client);
        Exit(client.process);
        ExpectReusable(Render());
    }
}

TEST_P(HostileLifetimeTest, DeathMidHandshakeEndsTheEnginesRequestAtOnce) {
    RawEngine* engine = nullptr;
    RawClient& client = StreamingClient(&engine);
    std::thread step;
    NTSTATUS result = STATUS_PENDING;
    StepUnanswered(client, *engine, &step, &result);
    Exit(client.process);
    step.join();
    EXPECT_EQ(result, STATUS_DEVICE_NOT_READY);
    ExpectLastHandshakeEndedBy(transport::HandshakeClientGone);
}

TEST_P(HostileLifetimeTest, DeathWithARequestWaitingInTheDriver) {
    RawEngine* engine = nullptr;
    RawClient& client = StreamingClient(&engine);
    std::thread step;
    NTSTATUS result = STATUS_PENDING;
    StepUnanswered(client, *engine, &step, &result);
    // The format request waits behind the handshake, holding the file.
    NTSTATUS format = STATUS_PENDING;
    std::thread request([&] { format = client.SetFormat(44100); });
    host::IoManager& io = machine.Get<host::IoManager>();
    while (io.RequestsInFlight(&client.process) == 0) {
        std::this_thread::yield();
    }
    // Cleanup now, in the dying process; the close comes when the request lets go of the file.
    Exit(client.process);
    step.join();
    request.join();
    EXPECT_EQ(result, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(format == STATUS_SUCCESS || format == STATUS_FILE_CLOSED) << format;
    // Ended by the cleanup, not by the close the waiting request holds back.
    ExpectLastHandshakeEndedBy(transport::HandshakeClientGone);
}

TEST_P(HostileLifetimeTest, DeathWhileTicksAreOnTheirWay) {
    RawClient& client = NewClient(Render());
    ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
    std::atomic<unsigned> ticks{0};
    std::vector<std::thread> tickers;
    for (int thread = 0; thread < 4; thread++) {
        tickers.emplace_back([&] {
            while (client.Tick() == STATUS_SUCCESS) {
                ticks++;
            }
        });
    }
    while (ticks.load() < 200) {
        std::this_thread::yield();
    }
    Exit(client.process);
    for (std::thread& ticker : tickers) {
        ticker.join();
    }
    ExpectReusable(Render());
}

INSTANTIATE_TEST_SUITE_P(Files, HostileLifetimeTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Render" : "Capture");
                         });

} // namespace
