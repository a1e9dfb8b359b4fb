// Sessions: the C callbacks behind the C++ library's policy, sink and source, the clocks, and
// the rules that keep one thread stepping a session at a time.
#include <limits>

#include "Handles.h"

namespace conduit::capi {

namespace {

// Frames due on the owner's word, granted from any thread.
class SharedManualClock : public Clock {
public:
    void Advance(std::uint64_t frames) {
        std::uint64_t pending = pending_.load();
        std::uint64_t raised;
        do {
            raised = frames > std::numeric_limits<std::uint64_t>::max() - pending
                         ? std::numeric_limits<std::uint64_t>::max()
                         : pending + frames;
        } while (!pending_.compare_exchange_weak(pending, raised));
    }
    void Restart() override {}
    std::uint64_t Take(std::uint32_t) override { return pending_.exchange(0); }
    std::chrono::microseconds TimeUntil(std::uint64_t, std::uint32_t) override {
        return std::chrono::microseconds(0);
    }

private:
    std::atomic<std::uint64_t> pending_{0};
};

class CallbackPolicy : public HandshakePolicy {
public:
    HandshakeAnswer Decide(const StreamView& view) override {
        if (callback == nullptr) {
            return HandshakeAnswer::Accept();
        }
        conduit_stream_view shown;
        ToC(view, &shown);
        const conduit_status answer = callback(context, &shown);
        // Only failures pass through: a success code of the caller's choosing could be the
        // tick request's, which the driver would take for a tick rather than an answer.
        return answer < 0 ? HandshakeAnswer::Fail(answer) : HandshakeAnswer::Accept();
    }
    conduit_handshake_callback callback = nullptr;
    void* context = nullptr;
};

class CallbackSink : public FrameSink {
public:
    void Consume(const StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t frames) override {
        if (callback != nullptr) {
            const conduit_stream_format shown = ToC(format);
            callback(context, &shown, bytes, frames);
        }
    }
    conduit_read_callback callback = nullptr;
    void* context = nullptr;
};

class CallbackSource : public FrameSource {
public:
    void Produce(const StreamFormat& format, std::uint8_t* bytes, std::uint32_t frames) override {
        if (callback != nullptr) {
            const conduit_stream_format shown = ToC(format);
            callback(context, &shown, bytes, frames);
        }
    }
    conduit_write_callback callback = nullptr;
    void* context = nullptr;
};

} // namespace

} // namespace conduit::capi

// One session. `busy` is held by the thread that steps it or changes its callbacks, and for
// good once it is destroyed; the statistics are copied out after each step so that any thread
// may read them.
struct conduit_session {
    std::shared_ptr<conduit_connection> connection;
    conduit::Direction direction = conduit::Direction::Capture;
    std::unique_ptr<conduit::Clock> clock;
    conduit::capi::SharedManualClock* manualClock = nullptr;
    conduit::capi::CallbackPolicy policy;
    conduit::capi::CallbackSink sink;
    conduit::capi::CallbackSource source;
    std::atomic<bool> busy{false};
    std::atomic<bool> stop{false};
    conduit::capi::Lock statsLock;
    conduit_session_stats stats{};
    std::unique_ptr<conduit::Session> session; // last: it refers to the members above
};

namespace conduit::capi {

namespace {

HandleTable<conduit_session>& Sessions() {
    static auto* table = new HandleTable<conduit_session>();
    return *table;
}

// Holds the session's busy flag for one call.
class Claim {
public:
    explicit Claim(conduit_session& session) : session_(session) {
        bool expected = false;
        held_ = session_.busy.compare_exchange_strong(expected, true);
    }
    ~Claim() {
        if (held_) {
            session_.busy.store(false);
        }
    }
    bool held() const { return held_; }
    // Keeps the flag when the claim ends (the session is being destroyed).
    void Keep() { held_ = false; }

private:
    conduit_session& session_;
    bool held_;
};

// Runs body once the handle names a live session.
template <class Body>
conduit_status WithSession(conduit_session* handle, Body body) {
    return Guarded([&] {
        std::shared_ptr<conduit_session> session = Sessions().Find(handle);
        if (!session) {
            return Record(CONDUIT_ERROR_INVALID_HANDLE, "not a live session");
        }
        return body(*session);
    });
}

// Runs body while the calling thread holds the session's busy flag.
template <class Body>
conduit_status WithClaimedSession(conduit_session* handle, Body body) {
    return WithSession(handle, [&](conduit_session& session) {
        Claim claim(session);
        if (!claim.held()) {
            return Record(CONDUIT_ERROR_WRONG_STATE,
                          "the session is in use by another call: a step, a run or a callback");
        }
        return body(session, claim);
    });
}

void CopyStats(conduit_session& session) {
    const SessionStats& stats = session.session->stats();
    Hold hold(session.statsLock);
    session.stats.handshakes = stats.handshakes;
    session.stats.answers = stats.answers;
    session.stats.failed_answers = stats.failedAnswers;
    session.stats.late_answers = stats.lateAnswers;
    session.stats.ticks = stats.ticks;
    session.stats.frames_moved = stats.framesMoved;
    session.stats.frames_dropped = stats.framesDropped;
    session.stats.inconsistencies = stats.inconsistencies;
}

conduit_status RefuseDirection(const char* callback, const char* direction) {
    return Record(CONDUIT_ERROR_INVALID_REQUEST, std::string("a ") + callback +
                                                     " callback belongs to the " + direction +
                                                     " direction");
}

} // namespace

} // namespace conduit::capi

using namespace conduit::capi;

extern "C" CONDUIT_API conduit_status conduit_session_create(conduit_connection* connection,
                                                             conduit_clock clock,
                                                             conduit_session** session) {
    return WithConnection(connection, [&](const std::shared_ptr<conduit_connection>& open) {
        if (session == nullptr) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER, "no place for the session handle");
        }
        *session = nullptr;
        if (clock != CONDUIT_CLOCK_REAL_TIME && clock != CONDUIT_CLOCK_MANUAL) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER,
                          "clock " + std::to_string(clock) + " is neither real time nor manual");
        }
        auto made = std::make_shared<conduit_session>();
        made->connection = open;
        made->direction = open->connection->direction();
        if (clock == CONDUIT_CLOCK_MANUAL) {
            auto manual = std::make_unique<SharedManualClock>();
            made->manualClock = manual.get();
            made->clock = std::move(manual);
        } else {
            made->clock = std::make_unique<conduit::RealTimeClock>();
        }
        made->session =
            std::make_unique<conduit::Session>(*open->connection, *made->clock, made->policy);
        made->session->SetSink(&made->sink);
        made->session->SetSource(&made->source);
        ++open->sessions;
        *session = Sessions().Add(std::move(made));
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_destroy(conduit_session* session) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim& claim) {
        claim.Keep();
        std::shared_ptr<conduit_session> removed = Sessions().Remove(session);
        if (!removed) {
            return Record(CONDUIT_ERROR_INVALID_HANDLE, "the session is already destroyed");
        }
        Hold hold(claimed.connection->lock);
        --claimed.connection->sessions;
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_set_read_callback(
    conduit_session* session, conduit_read_callback callback, void* context) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim&) {
        if (claimed.direction != conduit::Direction::Capture) {
            return RefuseDirection("read", "Capture");
        }
        claimed.sink.callback = callback;
        claimed.sink.context = context;
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_set_write_callback(
    conduit_session* session, conduit_write_callback callback, void* context) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim&) {
        if (claimed.direction != conduit::Direction::Render) {
            return RefuseDirection("write", "Render");
        }
        claimed.source.callback = callback;
        claimed.source.context = context;
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_set_handshake_callback(
    conduit_session* session, conduit_handshake_callback callback, void* context) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim&) {
        claimed.policy.callback = callback;
        claimed.policy.context = context;
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_step(conduit_session* session) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim&) {
        const conduit::Status status = claimed.session->Step();
        CopyStats(claimed);
        return Record(status);
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_run(conduit_session* session) {
    return WithClaimedSession(session, [&](conduit_session& claimed, Claim&) {
        conduit::Status status;
        while (status.ok() && !claimed.stop.exchange(false)) {
            status = claimed.session->Step();
            CopyStats(claimed);
        }
        // A stop that came with a failure has been answered by the return.
        claimed.stop.store(false);
        return Record(status);
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_stop(conduit_session* session) {
    return WithSession(session, [&](conduit_session& live) {
        live.stop.store(true);
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_advance(conduit_session* session,
                                                              uint64_t frame_count) {
    return WithSession(session, [&](conduit_session& live) {
        if (live.manualClock == nullptr) {
            return Record(CONDUIT_ERROR_INVALID_REQUEST,
                          "the session follows real time; only a manual clock is advanced");
        }
        live.manualClock->Advance(frame_count);
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_session_stats_read(conduit_session* session,
                                                                 conduit_session_stats* stats,
                                                                 uint32_t stats_bytes) {
    return WithSession(session, [&](conduit_session& live) {
        if (stats == nullptr || stats_bytes != sizeof(conduit_session_stats)) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER,
                          "the statistics must be a conduit_session_stats of " +
                              std::to_string(sizeof(conduit_session_stats)) + " bytes");
        }
        Hold hold(live.statsLock);
        *stats = live.stats;
        return Record(CONDUIT_OK, std::string());
    });
}
