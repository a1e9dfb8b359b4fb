// Waits: time-out forms on both clocks, the virtual clock's order and restraint, the IRQL
// refusals, thread objects and their end, and the conversion of kernel time-outs into host
// deadlines.
#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <ntddk.h>

#include "SyncTestSupport.h"
#include "kernel/Thread.h"
#include "kernel/Timeout.h"
#include "HostTest.h"

namespace {

using host::Deadline;
using synctest::AwaitWaiters;
using synctest::Poll;

class SyncWaitTest : public HostTest {};

class SyncWaitDeathTest : public HostTest {
protected:
    SyncWaitDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

constexpr LONGLONG Millisecond = 10000;
constexpr LONGLONG Second = 1000 * Millisecond;
constexpr LONGLONG Hour = 3600 * Second;

struct TimeoutCase {
    const char* name;
    bool absolute; // value is added to the current system time
    LONGLONG value;
};

const TimeoutCase shortTimeouts[] = {
    {"zero", false, 0},
    {"relative 2 ms", false, -2 * Millisecond},
    {"absolute 2 ms ahead", true, 2 * Millisecond},
    {"absolute an hour ago", true, -Hour},
    {"absolute in 1601", false, 1},
};

LARGE_INTEGER TimeoutOf(const TimeoutCase& test) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = test.absolute ? host::CurrentSystemTime() + test.value : test.value;
    return timeout;
}

void ExpectEveryTimeoutFormEndsAWaitOnAClearObject() {
    KEVENT clear, held, done;
    KMUTEX mutex;
    KeInitializeEvent(&clear, NotificationEvent, FALSE);
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeMutex(&mutex, 0);
    std::thread owner([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&mutex, FALSE);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    for (const TimeoutCase& test : shortTimeouts) {
        SCOPED_TRACE(test.name);
        LARGE_INTEGER timeout = TimeoutOf(test);
        EXPECT_EQ(KeWaitForSingleObject(&clear, Executive, KernelMode, FALSE, &timeout),
                  STATUS_TIMEOUT);
        timeout = TimeoutOf(test);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, TRUE, &timeout),
                  STATUS_TIMEOUT);
        // A timed-out waiter must not stay queued, or a later release would hand it the mutex.
        EXPECT_EQ(host::Dispatcher::Current().WaitersOn(&mutex), 0u);
    }
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    owner.join();
    EXPECT_EQ(mutex.OwnerThread, nullptr);
}

TEST_F(SyncWaitTest, EveryTimeoutFormEndsAWaitOnAClearObject) {
    ExpectEveryTimeoutFormEndsAWaitOnAClearObject();
}

// The real clock's waits sleep on the OS clocks (monotonic for relative time-outs, the wall
// clock for absolute ones): the same table once more on a machine that keeps real time.
TEST(SyncWaitRealClockTest, EveryTimeoutFormEndsAWaitOnAClearObject) {
    host::Machine machine;
    ExpectEveryTimeoutFormEndsAWaitOnAClearObject();
    EXPECT_TRUE(machine.Verify().empty());
}

// Threads that wait out their deadlines (none is ever met) while the test thread waits for all
// of them: on the virtual clock they end in deadline order and none before its deadline.
TEST_F(SyncWaitTest, VirtualTimeReachesEachDeadlineInOrderAndNoneEarly) {
    enum class Kind { Delay, RelativeWait, AbsoluteWait };
    struct Sleeper {
        const char* name;
        Kind kind;
        LONGLONG span;
        NTSTATUS expected;
        LONGLONG deadline = 0; // interrupt time for relative kinds, system time for absolute
        LONGLONG ended = 0;    // in the same time as the deadline
        int order = 0;
        KEVENT done;
    };
    Sleeper sleepers[] = {
        {"a 3 s delay", Kind::Delay, 3 * Second, STATUS_SUCCESS},
        {"a wait of 1 s", Kind::RelativeWait, Second, STATUS_TIMEOUT},
        {"a wait until 2 s from now", Kind::AbsoluteWait, 2 * Second, STATUS_TIMEOUT},
        {"a wait of 2.5 ms", Kind::RelativeWait, 25000, STATUS_TIMEOUT},
    };
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (Sleeper& sleeper : sleepers) {
        KeInitializeEvent(&sleeper.done, NotificationEvent, FALSE);
        threads.emplace_back([&] {
            const bool absolute = sleeper.kind == Kind::AbsoluteWait;
            auto now = [absolute] {
                return absolute ? host::CurrentSystemTime() : host::InterruptTime();
            };
            sleeper.deadline = now() + sleeper.span;
            LARGE_INTEGER timeout;
            timeout.QuadPart = absolute ? sleeper.deadline : -sleeper.span;
            const NTSTATUS status =
                sleeper.kind == Kind::Delay
                    ? KeDelayExecutionThread(KernelMode, FALSE, &timeout)
                    : KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
            sleeper.ended = now();
            sleeper.order = ++ended;
            EXPECT_EQ(status, sleeper.expected) << sleeper.name;
            KeSetEvent(&sleeper.done, IO_NO_INCREMENT, FALSE);
        });
    }
    for (Sleeper& sleeper : sleepers) {
        KeWaitForSingleObject(&sleeper.done, Executive, KernelMode, FALSE, nullptr);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const int expectedOrder[] = {4, 2, 3, 1};
    for (std::size_t index = 0; index < std::size(sleepers); ++index) {
        SCOPED_TRACE(sleepers[index].name);
        EXPECT_GE(sleepers[index].ended, sleepers[index].deadline);
        EXPECT_EQ(sleepers[index].order, expectedOrder[index]);
    }
}

// A thread that has not entered the host, or sleeps, spins or blocks outside it, may still set
// the event: time must not jump past the waiter's deadline meanwhile.
TEST_F(SyncWaitTest, AThreadBusyOutsideTheHostHoldsVirtualTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -60 * Second;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    late.join();
}

TEST_F(SyncWaitTest, WaitOnASystemThreadEndsWhenItIsMarkedTerminated) {
    PKTHREAD worker = host::CreateSystemThreadObject("worker", LOW_REALTIME_PRIORITY);
    EXPECT_TRUE(host::IsSystemThread(worker));
    EXPECT_EQ(host::ThreadName(worker), "worker");
    EXPECT_EQ(host::ThreadPriority(worker), LOW_REALTIME_PRIORITY);
    KEVENT stop;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    PKTHREAD seenByWorker = nullptr;
    std::thread os([&] {
        host::AdoptThreadObject(worker);
        seenByWorker = KeGetCurrentThread();
        KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr);
        host::MarkThreadTerminated(worker);
    });
    EXPECT_EQ(Poll(worker), STATUS_TIMEOUT);
    std::thread secondWaiter([&] {
        EXPECT_EQ(KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
    });
    AwaitWaiters(worker, 1);
    // The usual stop sequence: wake the thread and wait for its end in one step.
    KeSetEvent(&stop, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    secondWaiter.join();
    os.join();
    EXPECT_EQ(seenByWorker, worker);
    EXPECT_EQ(Poll(worker), STATUS_SUCCESS) << "a terminated thread stays signalled";
}

TEST_F(SyncWaitDeathTest, BlockingWaitAboveApcLevelBugChecks) {
    const TimeoutCase blocking[] = {{"no time-out", false, 0}, {"relative", false, -1}};
    for (const TimeoutCase& test : blocking) {
        SCOPED_TRACE(test.name);
        EXPECT_DEATH(
            {
                KEVENT event;
                KeInitializeEvent(&event, NotificationEvent, TRUE);
                LARGE_INTEGER timeout = TimeoutOf(test);
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE,
                                      test.value == 0 ? nullptr : &timeout);
            },
            "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject that may block called at IRQL 2");
    }
}

TEST_F(SyncWaitDeathTest, DelayAboveApcLevelBugChecks) {
    EXPECT_DEATH(
        {
            LARGE_INTEGER interval;
            interval.QuadPart = 0;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread called at IRQL 2");
}

TEST_F(SyncWaitDeathTest, WaitOnSomethingThatIsNoDispatcherObjectBugChecks) {
    EXPECT_DEATH(
        {
            DISPATCHER_HEADER fakeThread{};
            fakeThread.Type = ThreadObject;
            fakeThread.SignalState = 1;
            Poll(&fakeThread);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*not an initialised event, mutex or thread");
}

struct DeadlineCase {
    const char* name;
    bool present;
    bool absolute;
    LONGLONG value;
    Deadline::Kind kind;
    bool passed;
};

TEST(TimeoutTest, KernelTimeoutsBecomeHostDeadlines) {
    const DeadlineCase cases[] = {
        {"null waits forever", false, false, 0, Deadline::Kind::Forever, false},
        {"zero is a poll", true, false, 0, Deadline::Kind::Now, true},
        {"relative beyond the clock", true, false, LLONG_MIN, Deadline::Kind::Forever, false},
        {"absolute an hour ahead", true, true, Hour, Deadline::Kind::Absolute, false},
        {"absolute an hour ago", true, true, -Hour, Deadline::Kind::Absolute, true},
        {"absolute 1969", true, false, host::SystemTimeOfUnixEpoch - 1, Deadline::Kind::Absolute,
         true},
        {"absolute beyond the clock", true, false, LLONG_MAX, Deadline::Kind::Forever, false},
    };
    for (const DeadlineCase& test : cases) {
        SCOPED_TRACE(test.name);
        LARGE_INTEGER timeout;
        timeout.QuadPart = test.absolute ? host::CurrentSystemTime() + test.value : test.value;
        Deadline deadline = host::DeadlineFromTimeout(test.present ? &timeout : nullptr);
        EXPECT_EQ(deadline.kind, test.kind);
        EXPECT_EQ(deadline.HasPassed(), test.passed);
    }
}

} // namespace
