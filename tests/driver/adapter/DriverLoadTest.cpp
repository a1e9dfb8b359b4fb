// Loading the driver: the version it needs, its one device, and every way the load can fail,
// each followed by a clean unload.
#include <gtest/gtest.h>

#include "DriverTest.h"
#include "adapter/DriverEntry.h"
#include "kernel/Pool.h"
#include "kernel/Version.h"
#include "portcls/PortClass.h"

namespace {

class DriverLoadTest : public DriverTest {};

TEST_F(DriverLoadTest, LoadsOnVistaAndLaterButNotBefore) {
    struct Case {
        ULONG major, minor;
        NTSTATUS expected;
    };
    for (const Case& row : {Case{6, 0, STATUS_SUCCESS}, Case{5, 2, STATUS_UNSUCCESSFUL}}) {
        SCOPED_TRACE(testing::Message() << "version " << row.major << "." << row.minor);
        host::SetOsVersion(row.major, row.minor, 1000);
        EXPECT_EQ(Load(), row.expected);
        // A refused load shuts the support library down again: nothing stays allocated.
        for (const std::string& problem : Unload()) {
            ADD_FAILURE() << problem;
        }
        driver = nullptr;
        unloaded = false;
        image.reset();
        EXPECT_EQ(host::GetPoolCounters().liveBlocks, 0u);
    }
}

TEST_F(DriverLoadTest, FailuresOfTheEntryLeaveNothingBehind) {
    // The support library's exit list is the first allocation, the driver context the second.
    host::FailNthPoolAllocation(2);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, 0u);
}

TEST_F(DriverLoadTest, AFailedPortClassInitialisationFailsTheLoad) {
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::InitializeAdapterDriver,
                                               STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::GetPoolCounters().liveBlocks, 0u);
}

TEST_F(DriverLoadTest, AnotherSuccessStatusFromPortClassStillCompletesTheLoad) {
    // The hooks are installed for any success status, so the driver must stay loaded with its
    // context: the device can then be added, started and unloaded as usual.
    const NTSTATUS otherSuccess = 0x00000001;
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::InitializeAdapterDriver,
                                               otherSuccess);
    EXPECT_EQ(Load(), otherSuccess);
    EXPECT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    host::Process& client = NewProcess(false);
    HANDLE file = OpenTransport(client, true);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    Close(client, file);
}

// The library's unload routine is saved only by a successful entry: an unload without one (a
// library that set none) must still tear down rather than call through null.
TEST_F(DriverLoadTest, AnUnloadWithoutTheLibrarysRoutineStillTearsDown) {
    host::DriverImage fresh(host::DriverImage::PathOf(&DriverEntry));
    DRIVER_OBJECT object{};
    fresh.Resolve (&DriverUnload)(&object);
}

TEST_F(DriverLoadTest, OneDevicePerLoad) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    // A failed addition may be tried again; the link name it registered is not leaked.
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::AddAdapterDevice,
                                               STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(AddDevice(), STATUS_DEVICE_ALREADY_ATTACHED);
    // The first device is untouched: it starts and serves clients.
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    host::Process& client = NewProcess(false);
    HANDLE file = OpenTransport(client, false);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    Close(client, file);
}

} // namespace
