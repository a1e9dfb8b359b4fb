// Spin locks: the IRQL they impose and restore, and the refusals (recursion, foreign or missing
// release, uninitialised words, too high an IRQL). Mutual exclusion between threads is the
// driver lock tests' work.
#include <gtest/gtest.h>

#include <thread>

#include <ntddk.h>

#include "HostTest.h"

namespace {

class SpinLockTest : public HostTest {};
using SpinLockDeathTest = SpinLockTest;

TEST_F(SpinLockTest, AcquiringAtApcLevelReturnsAndRestoresIt) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL passive;
    KeRaiseIrql(APC_LEVEL, &passive);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(passive);
}

TEST_F(SpinLockDeathTest, MisuseIsABugCheckNotADeadlock) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
        },
        "SPIN_LOCK_ALREADY_OWNED");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "SPIN_LOCK_NOT_OWNED.*not held");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            std::thread([&] { KeAcquireSpinLockRaiseToDpc(&lock); }).join();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "SPIN_LOCK_NOT_OWNED.*held by thread #");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeRaiseIrql(HIGH_LEVEL, &old);
            KeAcquireSpinLockRaiseToDpc(&lock);
        },
        "IRQL_NOT_LESS_OR_EQUAL.*KeAcquireSpinLockRaiseToDpc");
    EXPECT_DEATH(
        {
            // A lock inside a pool block the driver forgot to initialise.
            auto* lock =
                static_cast<PKSPIN_LOCK>(ExAllocatePool(NonPagedPoolNx, sizeof(KSPIN_LOCK)));
            KeAcquireSpinLockRaiseToDpc(lock);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*never initialised");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            KeLowerIrql(PASSIVE_LEVEL);
            KeReleaseSpinLock(&lock, old);
        },
        "IRQL_NOT_GREATER_OR_EQUAL.*KeReleaseSpinLock");
}

} // namespace
