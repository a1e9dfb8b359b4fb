// Mutexes: recursion for the owner, exclusion of everyone else, and the release refusals.
#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <ntddk.h>

#include "SyncTestSupport.h"
#include "HostTest.h"

namespace {

using synctest::AwaitWaiters;
using synctest::Poll;

class SyncMutexTest : public HostTest {};

class SyncMutexDeathTest : public HostTest {
protected:
    SyncMutexDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

NTSTATUS Acquire(PRKMUTEX mutex) {
    return KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(SyncMutexTest, OwnerRecursesThreeDeepAndOthersWaitForTheLastRelease) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    for (LONG depth = 1; depth <= 3; ++depth) {
        ASSERT_EQ(Acquire(&mutex), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateMutex(&mutex), 1 - depth);
        EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    }

    std::atomic<PKTHREAD> secondOwner{nullptr};
    PKTHREAD second = nullptr;
    std::thread contender([&] {
        second = KeGetCurrentThread();
        EXPECT_EQ(Poll(&mutex), STATUS_TIMEOUT);
        EXPECT_EQ(Acquire(&mutex), STATUS_SUCCESS);
        secondOwner = mutex.OwnerThread;
        EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    });
    AwaitWaiters(&mutex, 1);

    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -2);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    // Still owned one level deep: the contender has not been let in.
    EXPECT_EQ(host::Dispatcher::Current().WaitersOn(&mutex), 1u);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);

    contender.join();
    EXPECT_EQ(secondOwner.load(), second);
    EXPECT_NE(second, KeGetCurrentThread());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
}

TEST_F(SyncMutexTest, ReleaseHandsTheMutexToOneWaiterAtATime) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(Acquire(&mutex), STATUS_SUCCESS);
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    KEVENT leave;
    KeInitializeEvent(&leave, NotificationEvent, FALSE);
    auto body = [&] {
        ASSERT_EQ(Acquire(&mutex), STATUS_SUCCESS);
        if (++inside > 1) {
            overlapped = true;
        }
        KeWaitForSingleObject(&leave, Executive, KernelMode, FALSE, nullptr);
        --inside;
        KeReleaseMutex(&mutex, FALSE);
    };
    std::thread a(body);
    std::thread b(body);
    AwaitWaiters(&mutex, 2);
    KeReleaseMutex(&mutex, FALSE);
    // One of them owns it now and the other is still queued on the mutex.
    EXPECT_EQ(host::Dispatcher::Current().WaitersOn(&mutex), 1u);
    KeSetEvent(&leave, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// More mutexes than a thread keeps in place, released out of order: the verifier names exactly
// the ones still owned, each once however deep, and nothing once all are released.
TEST_F(SyncMutexTest, VerifierReportsExactlyTheMutexesStillOwned) {
    constexpr int Count = 11;
    KMUTEX mutexes[Count];
    for (KMUTEX& mutex : mutexes) {
        KeInitializeMutex(&mutex, 0);
        ASSERT_EQ(Acquire(&mutex), STATUS_SUCCESS);
    }
    ASSERT_EQ(Acquire(&mutexes[9]), STATUS_SUCCESS); // twice deep
    const int released[] = {1, 9, 10, 0};
    for (int index : released) {
        KeReleaseMutex(&mutexes[index], FALSE);
    }
    auto problems = machine.Verify();
    std::string report;
    for (const std::string& problem : problems) {
        EXPECT_NE(problem.find("still owns the mutex"), std::string::npos) << problem;
        report += problem + "\n";
    }
    EXPECT_EQ(problems.size(), static_cast<std::size_t>(Count - 3)) << report;
    for (int index = 0; index < Count; ++index) {
        std::ostringstream address;
        address << static_cast<const void*>(&mutexes[index]);
        const bool owned = index != 0 && index != 1 && index != 10;
        EXPECT_EQ(report.find(address.str()) != std::string::npos, owned) << index << report;
    }
    for (int index = 0; index < Count; ++index) {
        if (index != 0 && index != 1 && index != 10) {
            KeReleaseMutex(&mutexes[index], FALSE);
        }
    }
    EXPECT_TRUE(machine.Verify().empty());
}

TEST_F(SyncMutexDeathTest, ReleaseByANonOwnerBugChecks) {
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            std::thread owner([&] { Acquire(&mutex); });
            owner.join();
            KeReleaseMutex(&mutex, FALSE);
        },
        "THREAD_NOT_MUTEX_OWNER.*which is owned by thread");
}

TEST_F(SyncMutexDeathTest, ReleaseOfAFreeMutexBugChecks) {
    EXPECT_DEATH(
        {
            KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            Acquire(&mutex);
            KeReleaseMutex(&mutex, FALSE);
            KeReleaseMutex(&mutex, FALSE);
        },
        "STOP: 0x00000011.*THREAD_NOT_MUTEX_OWNER.*which is not owned");
}

} // namespace
