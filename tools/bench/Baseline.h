// The bare baselines: threads that only hand futex events to each other, scheduled as the
// subject's threads are, so each figure of the driver path has its floor in the same binary.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "FutexEvent.h"

namespace bench {

class BareChain {
public:
    // Starts the three threads; the middle one takes the driver worker's scheduling class
    // when the process may (workerRealTime() tells whether it did).
    BareChain();
    ~BareChain();
    BareChain(const BareChain&) = delete;
    BareChain& operator=(const BareChain&) = delete;

    bool workerRealTime() const { return workerRealTime_; }
    // Whether OneWay and RoundTrip take the time (the counting run counts the hand-overs
    // alone, and they then return 0).
    void SetTimed(bool timed) { timed_ = timed; }

    // Two hops: this thread signals the worker, the worker signals the waiter. Nanoseconds
    // from this thread's signal to the waiter's wake-up.
    double OneWay();
    // One hop there and one back: this thread signals the echo thread and waits for its
    // answer. Nanoseconds for the round trip.
    double RoundTrip();
    // One paced hand-over: signals the worker and returns at once (the waiter still wakes).
    void Pulse();
    // After paced hand-overs: waits until the waiter has seen every one, then drops the
    // completion signals nobody waited for.
    void Drain();

private:
    void Worker();
    void Waiter();
    void Echo();

    FutexEvent toWorker_, toWaiter_, done_, toEcho_, echoed_;
    std::atomic<std::uint64_t> wokeNs_{0};
    std::uint64_t sent_ = 0;
    std::atomic<std::uint64_t> woken_{0};
    std::atomic<bool> stop_{false};
    std::atomic<int> ready_{0};
    bool workerRealTime_ = false;
    std::atomic<bool> timed_{true};
    std::thread worker_, waiter_, echo_;
};

} // namespace bench
