// The bare chains: the worker sleeps on one futex event and signals the next, like the driver's
// worker; the waiter stands in for the audio engine's wait; the echo thread for the client that
// answers a handshake.
#include "Baseline.h"

#include "System.h"

namespace bench {

BareChain::BareChain() {
    std::atomic<bool> realTime{false};
    worker_ = std::thread([this, &realTime] {
        realTime = BecomeWorkerClass();
        ready_++;
        Worker();
    });
    waiter_ = std::thread([this] {
        ready_++;
        Waiter();
    });
    echo_ = std::thread([this] {
        ready_++;
        Echo();
    });
    while (ready_.load() != 3) {
        std::this_thread::yield();
    }
    workerRealTime_ = realTime;
}

BareChain::~BareChain() {
    stop_ = true;
    toWorker_.Set();
    toWaiter_.Set();
    toEcho_.Set();
    worker_.join();
    waiter_.join();
    echo_.join();
}

void BareChain::Worker() {
    for (;;) {
        toWorker_.Wait();
        if (stop_.load(std::memory_order_relaxed)) {
            return;
        }
        toWaiter_.Set();
    }
}

void BareChain::Waiter() {
    for (;;) {
        toWaiter_.Wait();
        wokeNs_.store(timed_.load(std::memory_order_relaxed) ? NowNs() : 0,
                      std::memory_order_release);
        woken_.fetch_add(1, std::memory_order_release);
        if (stop_.load(std::memory_order_relaxed)) {
            return;
        }
        done_.Set();
    }
}

void BareChain::Echo() {
    for (;;) {
        toEcho_.Wait();
        if (stop_.load(std::memory_order_relaxed)) {
            return;
        }
        echoed_.Set();
    }
}

double BareChain::OneWay() {
    const std::uint64_t sent = timed_.load(std::memory_order_relaxed) ? NowNs() : 0;
    sent_++;
    toWorker_.Set();
    done_.Wait();
    return static_cast<double>(wokeNs_.load(std::memory_order_acquire) - sent);
}

double BareChain::RoundTrip() {
    const bool timed = timed_.load(std::memory_order_relaxed);
    const std::uint64_t sent = timed ? NowNs() : 0;
    toEcho_.Set();
    echoed_.Wait();
    return timed ? static_cast<double>(NowNs() - sent) : 0;
}

void BareChain::Pulse() {
    sent_++;
    toWorker_.Set();
}

void BareChain::Drain() {
    // Signals sent faster than the worker ran merge into one, so give up waiting after a while.
    const std::uint64_t giveUp = NowNs() + 100000000ull;
    while (woken_.load(std::memory_order_acquire) < sent_ && NowNs() < giveUp) {
        std::this_thread::yield();
    }
    sent_ = woken_.load(std::memory_order_acquire);
    done_.Reset();
}

} // namespace bench
