// Start-up, shutdown and the memory entry points, each case on a fresh driver image so that the
// library's globals (the initialised flag, the version word, the slots) start clear, with the
// host pool's counters and fault injection as the witness of every pool call.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "HostTest.h"
#include "kernel/Clock.h"
#include "kernel/DriverImage.h"
#include "kernel/Pool.h"
#include "kernel/Version.h"
#include "support/Memory.h"
#include "support/Startup.h"

namespace {

// The fresh image's routines and globals, by the names of the linked copy's.
struct Library {
    explicit Library(host::DriverImage& image)
        : startup(image.Resolve(&LibraryStartup)), osVersion(image.Resolve(&GetOsVersion)),
          shutdown(image.Resolve(&LibraryShutdown)),
          registerExit(image.Resolve(&RegisterExitCallback)),
          allocate(image.Resolve(&AllocateMemory)), free(image.Resolve(&FreeMemory)),
          runConstructors(image.Resolve(&RunStaticConstructors)),
          exitList(image.Resolve(&ExitList)), lowMemoryHandler(image.Resolve(&LowMemoryHandler)) {}
    decltype(&LibraryStartup) startup;
    decltype(&GetOsVersion) osVersion;
    decltype(&LibraryShutdown) shutdown;
    decltype(&RegisterExitCallback) registerExit;
    decltype(&AllocateMemory) allocate;
    decltype(&FreeMemory) free;
    decltype(&RunStaticConstructors) runConstructors;
    List** exitList;
    LowMemoryHandlerType* lowMemoryHandler;
};

class StartupTest : public HostTest {
protected:
    void Load() {
        library.reset();
        image = std::make_unique<host::DriverImage>(host::DriverImage::PathOf(&LibraryStartup));
        library = std::make_unique<Library>(*image);
    }
    void SetUp() override { Load(); }
    void TearDown() override {
        library.reset();
        image.reset();
        HostTest::TearDown();
    }
    std::unique_ptr<host::DriverImage> image;
    std::unique_ptr<Library> library;
};

TEST_F(StartupTest, KernelVersionDecidesStartUpAndThePoolType) {
    struct Case {
        ULONG major, minor;
        bool starts;
        ULONG word;
        POOL_TYPE pool;
    };
    const Case cases[] = {
        {0, 0, false, 0, NonPagedPool},               // a zeroed answer
        {5, 0, false, 0x0500, NonPagedPool},          // older than the library supports
        {5, 1, true, 0x0501, NonPagedPool},           // the oldest supported
        {6, 1, true, 0x0601, NonPagedPool},           // the last without a no-execute pool
        {6, 2, true, 0x0602, NonPagedPoolNx},         // the first with it
        {0x10A, 0x100, true, 0x0A00, NonPagedPoolNx}, // fields wider than a byte are masked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kernel " << c.major << "." << c.minor);
        host::SetOsVersion(c.major, c.minor, 1000);
        Load();
        host::PoolCounters before = host::GetPoolCounters();
        EXPECT_EQ(library->startup() != FALSE, c.starts);
        if (c.starts) {
            EXPECT_EQ(library->osVersion(), c.word);
            ASSERT_NE(*library->exitList, nullptr);
            EXPECT_EQ(host::PoolTypeOf(*library->exitList), c.pool);
            void* block = library->allocate(24);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(host::PoolTypeOf(block), c.pool);
            library->free(block);
        } else {
            EXPECT_EQ(*library->exitList, nullptr);
            EXPECT_EQ(host::GetPoolCounters().allocations, before.allocations);
        }
        library->shutdown();
        EXPECT_EQ(*library->exitList, nullptr);
        EXPECT_EQ(host::GetPoolCounters().liveBlocks, before.liveBlocks);
    }
}

TEST_F(StartupTest, StartingTwiceSucceedsTwiceAndAllocatesTheExitListOnce) {
    host::PoolCounters before = host::GetPoolCounters();
    EXPECT_TRUE(library->startup());
    List* list = *library->exitList;
    EXPECT_TRUE(library->startup());
    EXPECT_EQ(*library->exitList, list);
    EXPECT_EQ(host::GetPoolCounters().allocations, before.allocations + 1);
    library->shutdown();
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, before.liveBlocks);
}

TEST_F(StartupTest, FailedStartUpLeavesNothingForShutdownToDo) {
    struct Case {
        const char* why;
        void (*arrange)();
    };
    const Case cases[] = {
        {"no performance counter", [] { host::SetPerformanceCounterPresent(false); }},
        {"the exit list cannot be allocated", [] { host::FailNthPoolAllocation(1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Load();
        c.arrange();
        host::PoolCounters before = host::GetPoolCounters();
        EXPECT_FALSE(library->startup());
        EXPECT_EQ(*library->exitList, nullptr);
        EXPECT_FALSE(library->registerExit([] {}));
        library->runConstructors();
        library->shutdown();
        host::PoolCounters after = host::GetPoolCounters();
        EXPECT_EQ(after.allocations, before.allocations);
        EXPECT_EQ(after.liveBlocks, before.liveBlocks);

        // The failure left the library uninitialised, so a later attempt starts it afresh.
        host::SetPerformanceCounterPresent(true);
        host::ClearPoolFaultInjection();
        EXPECT_TRUE(library->startup());
        library->shutdown();
    }
}

std::vector<int>* callOrder = nullptr;

TEST_F(StartupTest, ShutdownRunsExitCallbacksInOrderAndFreesEveryEntry) {
    std::vector<int> order;
    callOrder = &order;
    host::PoolCounters before = host::GetPoolCounters();
    ASSERT_TRUE(library->startup());
    EXPECT_TRUE(library->registerExit([] { callOrder->push_back(1); }));
    EXPECT_TRUE(library->registerExit([] { callOrder->push_back(2); }));
    EXPECT_TRUE(library->registerExit([] { callOrder->push_back(3); }));
    // Entries come from operator new inside the image, which must reach the host pool.
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, before.liveBlocks + 4);
    EXPECT_EQ((*library->exitList)->count, 3u);

    library->shutdown();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(*library->exitList, nullptr);
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, before.liveBlocks);
    library->shutdown(); // a second shutdown has nothing left to do
    EXPECT_EQ(order.size(), 3u);
    callOrder = nullptr;
}

TEST_F(StartupTest, RegisteringWhenOutOfMemoryFailsCleanly) {
    ASSERT_TRUE(library->startup());
    host::FailNthPoolAllocation(1);
    // operator new returns null here; the entry must not be constructed at address zero.
    EXPECT_FALSE(library->registerExit([] {}));
    EXPECT_EQ((*library->exitList)->count, 0u);
    library->shutdown();
}

int handlerCalls = 0;
ULONGLONG handlerSize = 0;
int handlerRetries = 0;     // calls that answer "try again"; later ones give up
int handlerFreesOnCall = 0; // the call after which the pool has memory again

LONG CountingHandler(ULONGLONG size) {
    handlerCalls++;
    handlerSize = size;
    if (handlerCalls == handlerFreesOnCall) {
        host::ClearPoolFaultInjection();
    }
    return handlerCalls <= handlerRetries ? 1 : 0;
}

TEST_F(StartupTest, AllocationRetriesWhileTheLowMemoryHandlerAsks) {
    struct Case {
        const char* what;
        bool handler;
        int retries;
        int freesOnCall;
        bool succeeds;
        unsigned long long poolCalls;
        int handlerCallsExpected;
    };
    const Case cases[] = {
        {"no handler: exactly one pool call", false, 0, 0, false, 1, 0},
        {"the handler gives up at once", true, 0, 1, false, 1, 1},
        {"memory after three retries", true, 5, 3, true, 4, 3},
        {"the handler gives up after two retries", true, 2, 0, false, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Load();
        ASSERT_TRUE(library->startup());
        handlerCalls = 0;
        handlerSize = 0;
        handlerRetries = c.retries;
        handlerFreesOnCall = c.freesOnCall;
        *library->lowMemoryHandler = c.handler ? CountingHandler : nullptr;
        host::PoolCounters before = host::GetPoolCounters();
        // PoolAllocate may tail-call the pool, so its caller is the frame to match.
        host::FailPoolAllocationsFrom("AllocateMemory");
        void* block = library->allocate(40);
        host::ClearPoolFaultInjection();
        host::PoolCounters after = host::GetPoolCounters();
        EXPECT_EQ(block != nullptr, c.succeeds);
        EXPECT_EQ(after.allocations + after.failures - before.allocations - before.failures,
                  c.poolCalls);
        EXPECT_EQ(handlerCalls, c.handlerCallsExpected);
        if (c.handlerCallsExpected > 0) {
            EXPECT_EQ(handlerSize, 40u);
        }
        library->free(block); // null when the allocation failed: ignored
        *library->lowMemoryHandler = nullptr;
        library->shutdown();
    }
}

} // namespace
