// Events: previous-state results, who a set releases, and the Wait = TRUE contract.
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <ntddk.h>

#include "SyncTestSupport.h"
#include "HostTest.h"

namespace {

using synctest::AwaitWaiters;
using synctest::Poll;
using synctest::Waiter;

class SyncEventTest : public HostTest {};

class SyncEventDeathTest : public HostTest {
protected:
    SyncEventDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

enum class Operation { Set, Reset, Clear, Wait };

struct StateCase {
    const char* name;
    EVENT_TYPE type;
    BOOLEAN initial;
    Operation operation;
    LONG result; // the call's return value (for Wait: 1 when satisfied)
    LONG after;  // KeReadStateEvent afterwards
};

const StateCase stateCases[] = {
    {"set a clear event returns 0", NotificationEvent, FALSE, Operation::Set, 0, 1},
    {"reset a signalled event returns 1", NotificationEvent, TRUE, Operation::Reset, 1, 0},
    {"clear a signalled event", SynchronizationEvent, TRUE, Operation::Clear, 0, 0},
    {"set a signalled sync event stays 1", SynchronizationEvent, TRUE, Operation::Set, 1, 1},
    {"a wait leaves a notification event set", NotificationEvent, TRUE, Operation::Wait, 1, 1},
    {"a wait consumes a sync event", SynchronizationEvent, TRUE, Operation::Wait, 1, 0},
};

TEST_F(SyncEventTest, CallsReturnThePreviousStateAndLeaveTheNextOne) {
    for (const StateCase& test : stateCases) {
        SCOPED_TRACE(test.name);
        KEVENT event;
        KeInitializeEvent(&event, test.type, test.initial);
        EXPECT_EQ(KeReadStateEvent(&event), test.initial ? 1 : 0);
        LONG result = 0;
        switch (test.operation) {
        case Operation::Set:
            result = KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            break;
        case Operation::Reset:
            result = KeResetEvent(&event);
            break;
        case Operation::Clear:
            KeClearEvent(&event);
            break;
        case Operation::Wait:
            result = Poll(&event) == STATUS_SUCCESS ? 1 : 0;
            break;
        }
        EXPECT_EQ(result, test.result);
        EXPECT_EQ(KeReadStateEvent(&event), test.after);
    }
}

TEST_F(SyncEventTest, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiter first(&event);
    Waiter second(&event);
    AwaitWaiters(&event, 2);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    // The set was consumed by one waiter: the other still waits and the event is clear again.
    EXPECT_EQ(host::Dispatcher::Current().WaitersOn(&event), 1u);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    synctest::SpinUntil([&] { return first.done || second.done; });
    EXPECT_NE(first.done.load(), second.done.load());

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    first.Join();
    second.Join();
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncEventTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.push_back(std::make_unique<Waiter>(&event));
    }
    AwaitWaiters(&event, 3);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(host::Dispatcher::Current().WaitersOn(&event), 0u);
    for (auto& waiter : waiters) {
        waiter->Join();
        EXPECT_EQ(waiter->status, STATUS_SUCCESS);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
}

TEST_F(SyncEventTest, SetThenResetStillReleasesThoseWaitingAtTheSet) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        Waiter waiter(&event);
        AwaitWaiters(&event, 1);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeResetEvent(&event), type == NotificationEvent ? 1 : 0);
        waiter.Join();
        EXPECT_EQ(waiter.status, STATUS_SUCCESS);
    }
}

// A waiter may free the event once its wait returns, as on Windows, where no wait returns before
// the set has left the event. The set here still unlinks the second waiter after the first:
// touching the freed event then is a use after free (ThreadSanitizer and ASan see it).
TEST_F(SyncEventTest, AWaiterMayFreeTheEventAsSoonAsItsWaitReturns) {
    for (int round = 0; round < 20; ++round) {
        auto* event = new KEVENT;
        KeInitializeEvent(event, NotificationEvent, FALSE);
        std::thread freeing([event] {
            KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
            delete event;
        });
        AwaitWaiters(event, 1); // first in the event's wait list, so released first
        Waiter second(event);
        AwaitWaiters(event, 2);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        freeing.join();
        second.Join();
        EXPECT_EQ(second.status, STATUS_SUCCESS);
    }
}

TEST_F(SyncEventTest, SetWithWaitHoldsDispatchLevelUntilTheNextWait) {
    KEVENT request;
    KEVENT reply;
    KeInitializeEvent(&request, SynchronizationEvent, FALSE);
    KeInitializeEvent(&reply, NotificationEvent, FALSE);
    std::thread worker([&] {
        ASSERT_EQ(KeWaitForSingleObject(&request, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        KeSetEvent(&reply, IO_NO_INCREMENT, FALSE);
    });

    EXPECT_EQ(KeSetEvent(&request, IO_NO_INCREMENT, TRUE), 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(machine.Verify().empty()) << "a missing wait must be reported";
    // A blocking wait is allowed although the thread is at DISPATCH_LEVEL, and returns at the
    // level the thread had before the set.
    EXPECT_EQ(KeWaitForSingleObject(&reply, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    worker.join();
}

TEST_F(SyncEventDeathTest, SetWithWaitTwiceWithoutAWaitBugChecks) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
            KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*KeSetEvent\\(Wait = TRUE\\) called at IRQL 2");
}

// Initialising it again would cut the waiter out of the event's wait list for good.
TEST_F(SyncEventDeathTest, InitialisingAnEventSomeoneWaitsOnBugChecks) {
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            std::thread waiter(
                [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
            AwaitWaiters(&event, 1);
            KeInitializeEvent(&event, NotificationEvent, FALSE);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*KeInitializeEvent on .*which thread .* is waiting on");
}

TEST_F(SyncEventDeathTest, UninitialisedEventIsRefused) {
    EXPECT_DEATH(
        {
            KEVENT event{};
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*KeSetEvent on .*not an initialised event");
}

} // namespace
