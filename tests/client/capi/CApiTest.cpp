// The C interface against the driver in the host: what a caller in any language can get wrong
// (null, stale and foreign handles, bad arguments, calls in the wrong order or from inside a
// callback) is refused, named and explained, and changes nothing; and a handshake callback's
// answer reaches the driver as the callback meant it.
#include <memory>
#include <thread>

#include "DriverTest.h"
#include "conduit/conduit.h"
#include "engine/AudioEngine.h"

namespace {

// A refusal carries the status expected, under its own name, with a message.
#define EXPECT_REFUSED(call, status)                                                               \
    do {                                                                                           \
        const conduit_status got = (call);                                                         \
        EXPECT_EQ(got, status) << #call;                                                           \
        EXPECT_STREQ(conduit_status_name(got), #status) << #call;                                  \
        EXPECT_STRNE(conduit_last_error(), "") << #call;                                           \
    } while (false)

class CApiTest : public DriverTest {
protected:
    void SetUp() override {
        LoadAndStart();
        scope = std::make_unique<host::ProcessScope>(&NewProcess(false));
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
    int foreign[16] = {};
    const conduit_device_format format{48000, 16, 2, 2, 0};
    conduit_stream_view view;
    conduit_session_stats stats;
    conduit_session* made = nullptr;
    for (conduit_connection* handle : {static_cast<conduit_connection*>(nullptr), stale,
                                       reinterpret_cast<conduit_connection*>(foreign)}) {
        EXPECT_REFUSED(conduit_close(handle), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_set_format(handle, &format), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_set_latency(handle, 480), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_read_view(handle, &view, sizeof view), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_create(handle, CONDUIT_CLOCK_MANUAL, &made),
                       CONDUIT_ERROR_INVALID_HANDLE);
    }
    for (conduit_session* handle : {static_cast<conduit_session*>(nullptr), staleSession,
                                    reinterpret_cast<conduit_session*>(foreign)}) {
        EXPECT_REFUSED(conduit_session_set_read_callback(handle, IgnoreFrames, nullptr),
                       CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_set_write_callback(handle, WriteNothing, nullptr),
                       CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_set_handshake_callback(handle, AcceptAll, nullptr),
                       CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_step(handle), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_run(handle), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_stop(handle), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_advance(handle, 480), CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_stats_read(handle, &stats, sizeof stats),
                       CONDUIT_ERROR_INVALID_HANDLE);
        EXPECT_REFUSED(conduit_session_destroy(handle), CONDUIT_ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(made, nullptr);
    for (int word : foreign) {
        EXPECT_EQ(word, 0) << "a foreign handle is never written through";
    }
    EXPECT_STREQ(conduit_status_name(static_cast<conduit_status>(0xC0000022)), "unknown");
}

TEST_F(CApiTest, BadArgumentsAreRefusedAndChangeNothing) {
    conduit_connection* capture = Open(CONDUIT_DIRECTION_CAPTURE);
    conduit_session* reading = Create(capture, CONDUIT_CLOCK_REAL_TIME);
    conduit_connection* render = Open(CONDUIT_DIRECTION_RENDER);
    conduit_session* writing = Create(render, CONDUIT_CLOCK_MANUAL);
    conduit_connection* opened = render;
    conduit_session* created = writing;
    conduit_stream_view view;
    conduit_session_stats stats;

    EXPECT_REFUSED(conduit_open(2, nullptr, &opened), CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(opened, nullptr) << "a refused open leaves no handle behind";
    EXPECT_REFUSED(conduit_open(CONDUIT_DIRECTION_RENDER, nullptr, nullptr),
                   CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_open(CONDUIT_DIRECTION_RENDER, "", &opened),
                   CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_open(CONDUIT_DIRECTION_RENDER, "\\\\?\\ROOT#\xC3\xA9", &opened),
                   CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_open(CONDUIT_DIRECTION_RENDER, "\\\\?\\ROOT#NONE", &opened),
                   CONDUIT_ERROR_NO_DEVICE);
    EXPECT_REFUSED(conduit_set_format(capture, nullptr), CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_read_view(capture, &view, sizeof view - 4),
                   CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_session_stats_read(reading, &stats, sizeof stats + 8),
                   CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_REFUSED(conduit_session_create(capture, 2, &created), CONDUIT_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(created, nullptr);
    EXPECT_REFUSED(conduit_session_set_read_callback(writing, IgnoreFrames, nullptr),
                   CONDUIT_ERROR_INVALID_REQUEST);
    EXPECT_REFUSED(conduit_session_set_write_callback(reading, WriteNothing, nullptr),
                   CONDUIT_ERROR_INVALID_REQUEST);
    EXPECT_REFUSED(conduit_session_advance(reading, 1), CONDUIT_ERROR_INVALID_REQUEST);

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
        EXPECT_REFUSED(conduit_open(CONDUIT_DIRECTION_CAPTURE, nullptr, &connection),
                       CONDUIT_ERROR_NO_DEVICE);
    }).join();

    conduit_connection* connection = Open(CONDUIT_DIRECTION_CAPTURE);
    conduit_session* session = Create(connection, CONDUIT_CLOCK_REAL_TIME);
    EXPECT_REFUSED(conduit_close(connection), CONDUIT_ERROR_WRONG_STATE);

    // Once a run holds the session, no other call may step it, change it or destroy it. The
    // two threads compete for it until the run has it.
    conduit_status ran = CONDUIT_ERROR_UNSUCCESSFUL;
    std::thread runner([&] {
        do {
            ran = conduit_session_run(session);
        } while (ran == CONDUIT_ERROR_WRONG_STATE);
    });
    while (conduit_session_step(session) != CONDUIT_ERROR_WRONG_STATE) {
    }
    EXPECT_REFUSED(conduit_session_destroy(session), CONDUIT_ERROR_WRONG_STATE);
    EXPECT_REFUSED(conduit_session_set_read_callback(session, IgnoreFrames, nullptr),
                   CONDUIT_ERROR_WRONG_STATE);
    EXPECT_EQ(conduit_session_stop(session), CONDUIT_OK);
    runner.join();
    EXPECT_EQ(ran, CONDUIT_OK);

    EXPECT_EQ(conduit_session_destroy(session), CONDUIT_OK);
    EXPECT_EQ(conduit_close(connection), CONDUIT_OK);
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

} // namespace
