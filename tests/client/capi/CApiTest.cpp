// The C interface against the driver in the host: what a caller in any language can get wrong
// (null, stale and foreign handles, bad arguments, calls in the wrong order or from inside a
// callback) is refused and changes nothing, and a handshake callback's answer reaches the
// driver as the callback meant it.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DriverTest.h"
#include "conduit/conduit.h"
#include "engine/AudioEngine.h"

namespace {

class CApiTest : public DriverTest {
protected:
    void SetUp() override {
        LoadAndStart();
        client = &NewProcess(false);
        scope = std::make_unique<host::ProcessScope>(client);
    }
    void TearDown() override {
        scope.reset();
        DriverTest::TearDown();
    }

    conduit_connection* Open(conduit_direction direction) {
        conduit_connection* connection = nullptr;
        EXPECT_EQ(conduit_open(direction, nullptr, &connection), CONDUIT_OK)
            << conduit_last_error();
        return connection;
    }
    conduit_session* Create(conduit_connection* connection, conduit_clock clock) {
        conduit_session* session = nullptr;
        EXPECT_EQ(conduit_session_create(connection, clock, &session), CONDUIT_OK);
        return session;
    }

    host::Process* client = nullptr;
    std::unique_ptr<host::ProcessScope> scope;
};

void IgnoreFrames(void*, const conduit_stream_format*, const uint8_t*, uint32_t) {}
void WriteNothing(void*, const conduit_stream_format*, uint8_t*, uint32_t) {}
conduit_status AcceptAll(void*, const conduit_stream_view*) {
    return CONDUIT_OK;
}

TEST_F(CApiTest, NullStaleAndForeignHandlesAreRefused) {
    conduit_connection* stale = Open(CONDUIT_DIRECTION_CAPTURE);
    conduit_session* staleSession = Create(stale, CONDUIT_CLOCK_MANUAL);
    ASSERT_EQ(conduit_session_destroy(staleSession), CONDUIT_OK);
    ASSERT_EQ(conduit_close(stale), CONDUIT_OK);
    int foreignObject = 0;
    conduit_device_format format{48000, 16, 2, 2, 0};
    conduit_stream_view view;
    conduit_session_stats stats;
    conduit_session* made = nullptr;

    using ConnectionCall = std::function<conduit_status(conduit_connection*)>;
    const ConnectionCall connectionCalls[] = {
        [](conduit_connection* c) { return conduit_close(c); },
        [&](conduit_connection* c) { return conduit_set_format(c, &format); },
        [](conduit_connection* c) { return conduit_set_latency(c, 480); },
        [&](conduit_connection* c) { return conduit_read_view(c, &view, sizeof view); },
        [&](conduit_connection* c) {
            return conduit_session_create(c, CONDUIT_CLOCK_MANUAL, &made);
        },
    };
    for (conduit_connection* handle : {static_cast<conduit_connection*>(nullptr), stale,
                                       reinterpret_cast<conduit_connection*>(&foreignObject)}) {
        for (const ConnectionCall& call : connectionCalls) {
            EXPECT_EQ(call(handle), CONDUIT_ERROR_INVALID_HANDLE);
            EXPECT_STRNE(conduit_last_error(), "");
        }
    }
    EXPECT_EQ(made, nullptr);

    using SessionCall = std::function<conduit_status(conduit_session*)>;
    const SessionCall sessionCalls[] = {
        [](conduit_session* s) { return conduit_session_destroy(s); },
        [](conduit_session* s) {
            return conduit_session_set_read_callback(s, IgnoreFrames, nullptr);
        },
        [](conduit_session* s) {
            return conduit_session_set_write_callback(s, WriteNothing, nullptr);
        },
        [](conduit_session* s) {
            return conduit_session_set_handshake_callback(s, AcceptAll, nullptr);
        },
        [](conduit_session* s) { return conduit_session_step(s); },
        [](conduit_session* s) { return conduit_session_run(s); },
        [](conduit_session* s) { return conduit_session_stop(s); },
        [](conduit_session* s) { return conduit_session_advance(s, 480); },
        [&](conduit_session* s) { return conduit_session_stats_read(s, &stats, sizeof stats); },
    };
    for (conduit_session* handle : {static_cast<conduit_session*>(nullptr), staleSession,
                                    reinterpret_cast<conduit_session*>(&foreignObject)}) {
        for (const SessionCall& call : sessionCalls) {
            EXPECT_EQ(call(handle), CONDUIT_ERROR_INVALID_HANDLE);
        }
    }
    EXPECT_EQ(foreignObject, 0);
}

TEST_F(CApiTest, BadArgumentsAreRefusedAndChangeNothing) {
    conduit_connection* capture = Open(CONDUIT_DIRECTION_CAPTURE);
    conduit_session* reading = Create(capture, CONDUIT_CLOCK_REAL_TIME);
    conduit_connection* render = Open(CONDUIT_DIRECTION_RENDER);
    conduit_session* writing = Create(render, CONDUIT_CLOCK_MANUAL);
    conduit_connection* opened = nullptr;
    conduit_session* created = nullptr;
    conduit_stream_view view;
    conduit_session_stats stats;
    struct Case {
        const char* what;
        std::function<conduit_status()> call;
        conduit_status expected;
    };
    const Case cases[] = {
        {"direction 2", [&] { return conduit_open(2, nullptr, &opened); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"direction -1", [&] { return conduit_open(-1, nullptr, &opened); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"no place for the handle",
         [&] { return conduit_open(CONDUIT_DIRECTION_RENDER, nullptr, nullptr); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"empty path", [&] { return conduit_open(CONDUIT_DIRECTION_RENDER, "", &opened); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"path with a byte above ASCII",
         [&] { return conduit_open(CONDUIT_DIRECTION_RENDER, "\\\\?\\ROOT#\xC3\xA9", &opened); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"path that names nothing",
         [&] { return conduit_open(CONDUIT_DIRECTION_RENDER, "\\\\?\\ROOT#NONE", &opened); },
         CONDUIT_ERROR_NO_DEVICE},
        {"no format", [&] { return conduit_set_format(capture, nullptr); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"view of another size", [&] { return conduit_read_view(capture, &view, sizeof view - 4); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"no view", [&] { return conduit_read_view(capture, nullptr, sizeof view); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"statistics of another size",
         [&] { return conduit_session_stats_read(reading, &stats, sizeof stats + 8); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"clock 2", [&] { return conduit_session_create(capture, 2, &created); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"no place for the session",
         [&] { return conduit_session_create(capture, CONDUIT_CLOCK_MANUAL, nullptr); },
         CONDUIT_ERROR_INVALID_PARAMETER},
        {"read callback on Render",
         [&] { return conduit_session_set_read_callback(writing, IgnoreFrames, nullptr); },
         CONDUIT_ERROR_INVALID_REQUEST},
        {"write callback on Capture",
         [&] { return conduit_session_set_write_callback(reading, WriteNothing, nullptr); },
         CONDUIT_ERROR_INVALID_REQUEST},
        {"advancing real time", [&] { return conduit_session_advance(reading, 1); },
         CONDUIT_ERROR_INVALID_REQUEST},
    };
    for (const Case& item : cases) {
        opened = reinterpret_cast<conduit_connection*>(&view);
        created = reinterpret_cast<conduit_session*>(&view);
        EXPECT_EQ(item.call(), item.expected) << item.what;
        EXPECT_STRNE(conduit_last_error(), "") << item.what;
        if (opened != reinterpret_cast<conduit_connection*>(&view)) {
            EXPECT_EQ(opened, nullptr) << item.what << ": a refused open leaves a null handle";
        }
        if (created != reinterpret_cast<conduit_session*>(&view)) {
            EXPECT_EQ(created, nullptr) << item.what;
        }
    }

    // Both directions are still connected and usable.
    for (conduit_connection* connection : {capture, render}) {
        ASSERT_EQ(conduit_read_view(connection, &view, sizeof view), CONDUIT_OK);
        EXPECT_STREQ(conduit_last_error(), "");
        EXPECT_EQ(view.client_connected, 1);
    }
    EXPECT_EQ(conduit_session_advance(writing, 480), CONDUIT_OK);
    EXPECT_EQ(conduit_session_step(writing), CONDUIT_OK);
    for (conduit_session* session : {reading, writing}) {
        EXPECT_EQ(conduit_session_destroy(session), CONDUIT_OK);
    }
    EXPECT_EQ(conduit_close(capture), CONDUIT_OK);
    EXPECT_EQ(conduit_close(render), CONDUIT_OK);
}

TEST_F(CApiTest, CallsInTheWrongOrderAreRefused) {
    // A thread outside the host's user-mode processes is no client.
    std::thread([] {
        conduit_connection* connection = nullptr;
        EXPECT_EQ(conduit_open(CONDUIT_DIRECTION_CAPTURE, nullptr, &connection),
                  CONDUIT_ERROR_NO_DEVICE);
    }).join();

    conduit_connection* connection = Open(CONDUIT_DIRECTION_CAPTURE);
    conduit_session* session = Create(connection, CONDUIT_CLOCK_REAL_TIME);
    EXPECT_EQ(conduit_close(connection), CONDUIT_ERROR_WRONG_STATE) << "a session still uses it";

    conduit_status ran = CONDUIT_ERROR_UNSUCCESSFUL;
    // Once a run holds the session, no other call may step it, change it or destroy it. The
    // two threads compete for it until the run has it.
    std::thread runner([&] {
        do {
            ran = conduit_session_run(session);
        } while (ran == CONDUIT_ERROR_WRONG_STATE);
    });
    while (conduit_session_step(session) != CONDUIT_ERROR_WRONG_STATE) {
    }
    EXPECT_EQ(conduit_session_destroy(session), CONDUIT_ERROR_WRONG_STATE);
    EXPECT_EQ(conduit_session_set_read_callback(session, IgnoreFrames, nullptr),
              CONDUIT_ERROR_WRONG_STATE);
    EXPECT_EQ(conduit_session_stop(session), CONDUIT_OK);
    runner.join();
    EXPECT_EQ(ran, CONDUIT_OK);

    EXPECT_EQ(conduit_session_destroy(session), CONDUIT_OK);
    EXPECT_EQ(conduit_close(connection), CONDUIT_OK);
    EXPECT_EQ(conduit_close(connection), CONDUIT_ERROR_INVALID_HANDLE);
}

// What a handshake callback returns is the answer the driver gets, except that success codes
// other than CONDUIT_OK are sent as CONDUIT_OK: the tick request's code would otherwise reach
// the driver as a tick, and the handshake would fail a second later for want of an answer.
TEST_F(CApiTest, HandshakeCallbackAnswersReachTheDriver) {
    struct Decision {
        conduit_session* session = nullptr;
        conduit_status answer = CONDUIT_OK;
        conduit_status stepInside = CONDUIT_OK;
        conduit_status destroyInside = CONDUIT_OK;
        bool sawStream = false;
    };
    const conduit_status tickRequest = 0x20000001;
    const conduit_status refusal = static_cast<conduit_status>(0xC0000022);
    for (conduit_status answer : {refusal, tickRequest, CONDUIT_OK}) {
        SCOPED_TRACE(answer);
        conduit_connection* connection = Open(CONDUIT_DIRECTION_CAPTURE);
        Decision decision;
        decision.answer = answer;
        decision.session = Create(connection, CONDUIT_CLOCK_REAL_TIME);
        auto decide = [](void* context, const conduit_stream_view* view) {
            Decision* decision = static_cast<Decision*>(context);
            decision->stepInside = conduit_session_step(decision->session);
            decision->destroyInside = conduit_session_destroy(decision->session);
            decision->sawStream = decision->sawStream || (view->stream_open && view->has_format);
            return decision->answer;
        };
        ASSERT_EQ(conduit_session_set_handshake_callback(decision.session, decide, &decision),
                  CONDUIT_OK);
        std::thread runner([&] { conduit_session_run(decision.session); });

        host::engine::AudioEngine engine(NewProcess(false, "audio engine"));
        host::engine::EngineOptions options;
        options.filterName = u"wave_r";
        const NTSTATUS opened = engine.Open(options);
        engine.Close();
        conduit_session_stop(decision.session);
        runner.join();

        EXPECT_EQ(opened, answer == refusal ? refusal : STATUS_SUCCESS);
        EXPECT_TRUE(decision.sawStream) << "the callback's view shows the stream it is asked about";
        EXPECT_EQ(decision.stepInside, CONDUIT_ERROR_WRONG_STATE);
        EXPECT_EQ(decision.destroyInside, CONDUIT_ERROR_WRONG_STATE);
        conduit_session_stats stats;
        ASSERT_EQ(conduit_session_stats_read(decision.session, &stats, sizeof stats), CONDUIT_OK);
        EXPECT_EQ(stats.late_answers, 0u);
        EXPECT_EQ(conduit_session_destroy(decision.session), CONDUIT_OK);
        EXPECT_EQ(conduit_close(connection), CONDUIT_OK);
    }
}

TEST(CApiStatusTest, EveryNamedStatusHasItsOwnName) {
#define NAMED(status)                                                                              \
    { status, #status }
    const struct {
        conduit_status status;
        const char* name;
    } names[] = {
        NAMED(CONDUIT_OK),
        NAMED(CONDUIT_ERROR_BUSY),
        NAMED(CONDUIT_ERROR_UNSUCCESSFUL),
        NAMED(CONDUIT_ERROR_INVALID_HANDLE),
        NAMED(CONDUIT_ERROR_INVALID_PARAMETER),
        NAMED(CONDUIT_ERROR_INVALID_REQUEST),
        NAMED(CONDUIT_ERROR_NO_MEMORY),
        NAMED(CONDUIT_ERROR_BUFFER_TOO_SMALL),
        NAMED(CONDUIT_ERROR_NO_DEVICE),
        NAMED(CONDUIT_ERROR_NOT_READY),
        NAMED(CONDUIT_ERROR_WRONG_STATE),
        NAMED(CONDUIT_ERROR_PROTOCOL),
        NAMED(CONDUIT_ERROR_ALREADY_REGISTERED),
    };
#undef NAMED
    for (const auto& entry : names) {
        EXPECT_STREQ(conduit_status_name(entry.status), entry.name);
    }
    EXPECT_STREQ(conduit_status_name(static_cast<conduit_status>(0xC0000022)), "unknown");
}

} // namespace
