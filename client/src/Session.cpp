// The session loop of one direction: handshakes, frame moves, positions and ticks.
#include "conduit/Client.h"

#include <algorithm>
#include <cstring>

#include "../backend/Backend.h"
#include "RingMath.h"
#include "TransportProtocol.h"

namespace conduit {

namespace {

constexpr std::chrono::microseconds HandshakeDeadline{std::chrono::seconds(1)};

std::uint8_t SilenceByte(const StreamFormat& format) {
    return format.containerBits == 8 ? 0x80 : 0x00;
}

} // namespace

Session::Session(Connection& connection, Clock& clock, HandshakePolicy& policy,
                 SessionOptions options)
    : connection_(connection), clock_(clock), policy_(policy), options_(options) {}

Status Session::Run(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        Status result = Step();
        if (!result.ok()) {
            return result;
        }
    }
    return Status::Ok();
}

Status Session::Step() {
    Backend& backend = connection_.backend();
    StreamView view = connection_.Read();
    std::chrono::microseconds timeout = options_.idleWait;
    if (running_ && view.CanMoveFrames()) {
        // Wake at least four times a buffer, that is twice a period, so ticks keep up.
        const std::uint64_t quantum = std::max<std::uint32_t>(1, view.bufferFrames / 4);
        timeout =
            std::min(options_.runWait, clock_.TimeUntil(quantum > budget_ ? quantum - budget_ : 0,
                                                        view.format.sampleRate));
    }
    const WaitResult wait = backend.WaitEvent(connection_.event(), timeout);
    if (wait == WaitResult::Failed) {
        return Status(status::Unsuccessful, "waiting for the driver's event failed");
    }
    Status result;
    if (wait == WaitResult::Signalled) {
        view = connection_.Read();
        Note(view);
        result = AnswerHandshake(view);
        if (!result.ok()) {
            return result;
        }
    }
    view = connection_.Read();
    Note(view);
    Follow(view);
    if (running_) {
        MoveFrames(view);
    }
    if (tickOwed_ && !HoldingTicks()) {
        result = connection_.RequestTick();
        if (!result.ok()) {
            return result;
        }
        tickOwed_ = false;
        ++stats_.ticks;
    }
    return Status::Ok();
}

Status Session::AnswerHandshake(const StreamView& view) {
    Backend& backend = connection_.backend();
    ++stats_.handshakes;
    const auto signalled = backend.Now();
    const HandshakeAnswer decision = policy_.Decide(view);
    if (decision.kind == HandshakeAnswer::Kind::Silent) {
        ++stats_.silentHandshakes;
        return Status::Ok();
    }
    if (decision.delay.count() > 0) {
        backend.Sleep(decision.delay);
    }
    Status result = connection_.Answer(decision.status, view.handshakeNumber);
    if (!result.ok()) {
        return result;
    }
    ++stats_.answers;
    if (decision.status < 0) {
        ++stats_.failedAnswers;
    }
    const auto answered = backend.Now();
    if (answered - signalled >= HandshakeDeadline) {
        ++stats_.lateAnswers;
    }
    // Until the driver's handshake has read the answer, a tick would overwrite it with a
    // success value; hold ticks until it clears HandshakeActive or must have given up.
    guarding_ = true;
    guardUntil_ = answered + options_.answerGuard;
    return Status::Ok();
}

bool Session::HoldingTicks() {
    if (!guarding_) {
        return false;
    }
    if ((connection_.HandshakeFlags() & transport::HandshakeActive) == 0 ||
        connection_.backend().Now() >= guardUntil_) {
        guarding_ = false;
    }
    return guarding_;
}

void Session::Follow(const StreamView& view) {
    if (view.state == StreamState::Unknown) {
        running_ = false;
        return;
    }
    const bool run = view.CanMoveFrames();
    if (!running_) {
        // Only the driver resets the counter (at stop, and for a new stream), and it follows
        // the counter's differences: until frames move again the client takes the counter up
        // where it stands. A stream met running goes on from the frame the driver last saw.
        const std::uint32_t published = connection_.ClientPosition();
        if (published != position_) {
            position_ = published;
            frames_ = 0;
            budget_ = 0;
            std::uint32_t seen = 0;
            if (view.streamOpen && view.state != StreamState::Stop &&
                ring::SeenOffset(view.driverPosition, view.aheadFrames, view.bufferFrames, &seen)) {
                frames_ = seen;
            }
        }
    }
    if (run && !running_) {
        // Frames that fell due before a pause stay due; the clock counts none during it.
        clock_.Restart();
    }
    // The driver ignores ticks while the stream does not run, so one that came during a pause is
    // owed again, or the driver never learns where the client stopped. A pause and its resume may
    // both pass between two readings: any handshake while running may have been one.
    if (run && (!running_ || stats_.handshakes != handshakesFollowed_)) {
        tickOwed_ = true;
    }
    handshakesFollowed_ = stats_.handshakes;
    running_ = run;
}

bool Session::DriverHasSeenPeriod(std::uint32_t bufferFrames, std::uint32_t offset) {
    const StreamView now = connection_.Read();
    std::uint32_t seen = 0;
    if (!ring::SeenOffset(now.driverPosition, now.aheadFrames, bufferFrames, &seen)) {
        return false;
    }
    return ring::PeriodIndex(seen, bufferFrames) == ring::PeriodIndex(offset, bufferFrames);
}

void Session::MoveFrames(const StreamView& view) {
    const std::uint32_t bufferFrames = view.bufferFrames;
    const std::uint32_t blockAlign = view.format.blockAlign;
    budget_ += clock_.Take(view.format.sampleRate);
    if (budget_ > bufferFrames) {
        // More than a buffer behind: those frames were overwritten or never read in time.
        stats_.framesDropped += budget_ - bufferFrames;
        budget_ = bufferFrames;
    }
    bool moved = false;
    while (budget_ > 0) {
        const std::uint32_t offset = static_cast<std::uint32_t>(frames_ % bufferFrames);
        const std::uint32_t contiguous = options_.holdAtBoundaries
                                             ? ring::FramesToBoundary(offset, bufferFrames)
                                             : bufferFrames - offset;
        std::uint32_t frames =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(budget_, contiguous));
        const std::uint32_t end =
            static_cast<std::uint32_t>((std::uint64_t(offset) + frames) % bufferFrames);
        bool hold = false;
        if (options_.holdAtBoundaries &&
            ring::PeriodIndex(end, bufferFrames) != ring::PeriodIndex(offset, bufferFrames) &&
            !DriverHasSeenPeriod(bufferFrames, offset)) {
            // Crossing now could put two boundaries between the driver's ticks, and it
            // counts them as one: wait at the last frame of this period for the tick.
            --frames;
            hold = true;
            ++stats_.periodWaits;
        }
        if (frames != 0) {
            const std::uint64_t first = std::uint64_t(offset) * blockAlign;
            const std::uint64_t bytes = std::uint64_t(frames) * blockAlign;
            if (first + bytes > connection_.DataBytes()) {
                // A checked view never gets here; the test stays so that no path touches
                // memory past the window.
                ++stats_.inconsistencies;
                stats_.lastInconsistency = "a frame move would reach past the data buffer";
                break;
            }
            std::uint8_t* at = connection_.DataBuffer() + first;
            if (connection_.direction() == Direction::Capture) {
                if (sink_ != nullptr) {
                    sink_->Consume(view.format, at, frames);
                }
            } else if (source_ != nullptr) {
                source_->Produce(view.format, at, frames);
            } else {
                std::memset(at, SilenceByte(view.format), bytes);
            }
            position_ += frames; // the driver follows differences: the wrap at 2^32 is harmless
            frames_ += frames;
            budget_ -= frames;
            stats_.framesMoved += frames;
            moved = true;
        }
        if (hold) {
            break;
        }
    }
    if (moved) {
        connection_.WritePositions(position_,
                                   ring::PositionRegister(frames_, bufferFrames, blockAlign));
        tickOwed_ = true;
    }
}

void Session::Note(const StreamView& view) {
    for (const std::string& problem : view.problems) {
        if (problem != stats_.lastInconsistency) {
            ++stats_.inconsistencies;
            stats_.lastInconsistency = problem;
        }
    }
}

} // namespace conduit
