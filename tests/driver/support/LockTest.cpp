// The recursive locks: one thread may take them again and again, and only its last Unlock lets
// another thread in; the spin lock's IRQL is raised once and given back exactly. Threads are
// sequenced with atomics, never with sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "HostTest.h"
#include "ObservedLocks.h"

namespace {

void WaitFor(const std::atomic<bool>& flag) {
    while (!flag.load()) {
        std::this_thread::yield();
    }
}

class LockTest : public HostTest {
protected:
    // The test thread takes the lock three times; a second thread asks for it and must get it
    // only after the third Unlock.
    template <class Observed>
    void SecondThreadWaitsForTheLastUnlock() {
        Observed lock;
        PKTHREAD self = KeGetCurrentThread();
        for (int i = 0; i < 3; i++) {
            lock.Lock();
        }
        EXPECT_EQ(lock.Recursion(), 3u);
        EXPECT_EQ(lock.Owner(), self);
        EXPECT_EQ(lock.acquiresEntered.load(), 1) << "a nested Lock acquired the kernel lock";

        std::atomic<int> unlocksStarted{0};
        std::atomic<bool> acquired{false};
        std::atomic<bool> releaseIt{false};
        int unlocksSeenByWaiter = -1;
        PKTHREAD waiterThread = nullptr;
        PKTHREAD ownerSeenByWaiter = nullptr;
        ULONG recursionSeenByWaiter = 0;
        std::thread waiter([&] {
            waiterThread = KeGetCurrentThread();
            lock.Lock();
            unlocksSeenByWaiter = unlocksStarted.load();
            ownerSeenByWaiter = lock.Owner();
            recursionSeenByWaiter = lock.Recursion();
            acquired = true;
            WaitFor(releaseIt);
            lock.Unlock();
        });
        while (lock.acquiresEntered.load() < 2) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 2; i++) {
            unlocksStarted++;
            lock.Unlock();
            EXPECT_FALSE(acquired.load()) << "the lock was given away after Unlock " << i + 1;
        }
        EXPECT_EQ(lock.Recursion(), 1u);
        EXPECT_EQ(lock.Owner(), self);

        unlocksStarted++;
        lock.Unlock();
        WaitFor(acquired);
        EXPECT_EQ(unlocksSeenByWaiter, 3);
        EXPECT_EQ(ownerSeenByWaiter, waiterThread);
        EXPECT_NE(waiterThread, self);
        EXPECT_EQ(recursionSeenByWaiter, 1u);
        releaseIt = true;
        waiter.join();
        EXPECT_EQ(lock.Recursion(), 0u);
        EXPECT_EQ(lock.Owner(), nullptr);
    }
};

TEST_F(LockTest, RecursiveMutexMakesASecondThreadWaitUntilTheLastUnlock) {
    SecondThreadWaitsForTheLastUnlock<ObservedRecursiveMutex>();
}

TEST_F(LockTest, RecursiveSpinLockMakesASecondThreadSpinUntilTheLastUnlock) {
    SecondThreadWaitsForTheLastUnlock<ObservedRecursiveSpinLock>();
}

TEST_F(LockTest, RecursiveSpinLockRunsAtDispatchLevelAndRestoresTheCallersIrql) {
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(testing::Message() << "starting at IRQL " << int(start));
        KIRQL previous = PASSIVE_LEVEL;
        KeRaiseIrql(start, &previous);
        {
            ObservedRecursiveSpinLock lock;
            for (int i = 0; i < 3; i++) {
                lock.Lock();
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            }
            for (int i = 0; i < 2; i++) {
                lock.Unlock();
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "after Unlock " << i + 1;
            }
            lock.Unlock();
            EXPECT_EQ(KeGetCurrentIrql(), start);
            EXPECT_EQ(lock.Owner(), nullptr);
        }
        KeLowerIrql(previous);
    }
}

TEST_F(LockTest, MutexWaitWithATimeOutReportsWhetherItWasAcquired) {
    Mutex mutex;
    PRKMUTEX object = static_cast<PRKMUTEX>(mutex.GetObject());
    EXPECT_EQ(KeReadStateMutex(object), 1) << "a new mutex is not free";
    std::atomic<bool> held{false};
    std::atomic<bool> releaseIt{false};
    std::thread holder([&] {
        EXPECT_TRUE(mutex.Wait(nullptr));
        held = true;
        WaitFor(releaseIt);
        mutex.Release();
    });
    WaitFor(held);
    EXPECT_NE(KeReadStateMutex(object), 1) << "GetObject is not the mutex that was taken";
    LARGE_INTEGER now;
    now.QuadPart = 0;
    EXPECT_FALSE(mutex.Wait(&now)) << "acquired a mutex another thread holds";
    LARGE_INTEGER shortRelative;
    shortRelative.QuadPart = -1; // 100 ns, relative
    EXPECT_FALSE(mutex.Wait(&shortRelative));
    releaseIt = true;
    holder.join();
    EXPECT_TRUE(mutex.Wait(&now));
    mutex.Release();
}

} // namespace
