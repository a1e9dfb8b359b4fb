// The channels' worker when it cannot be started or referenced: the start fails and the unload
// still leaves nothing behind.
#include <gtest/gtest.h>

#include "DriverTest.h"
#include "kernel/Objects.h"
#include "kernel/SystemThread.h"

namespace {

class WorkerStartTest : public DriverTest {};

// Without a worker the channels' destruction waits its second and still leaves nothing behind.
TEST_F(WorkerStartTest, AWorkerThatCannotBeCreatedFailsTheStartCleanly) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    host::FailSystemThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    for (const std::string& problem : Unload()) {
        ADD_FAILURE() << problem;
    }
}

// The thread runs but its object cannot be referenced: the stop still waits for its end
// through the handle, so it never outlives the channel.
TEST_F(WorkerStartTest, AWorkerThatCannotBeReferencedIsStillStopped) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    host::FailObjectReference(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    for (const std::string& problem : Unload()) {
        ADD_FAILURE() << problem;
    }
}

} // namespace
