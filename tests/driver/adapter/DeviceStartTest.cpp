// Starting the device: the order of its steps, what a failure at each step leaves, and that a
// later unload is clean whatever was built.
#include <gtest/gtest.h>

#include "DriverTest.h"
#include "kernel/Memory.h"
#include "kernel/UserMode.h"
#include "portcls/PortClass.h"

namespace {

class DeviceStartTest : public DriverTest {
protected:
    void LoadAndAdd() {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    }
};

TEST_F(DeviceStartTest, AStartedDeviceSharesMemoryAndOpensItsInterface) {
    LoadAndStart();
    EXPECT_FALSE(InterfacePath().empty());
    for (bool render : {true, false}) {
        transport::TransportControlBlock* block = Endpoint(render).ControlBlock();
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->DataBufferBytes, transport::DataBufferSize);
        EXPECT_EQ(Endpoint(render).dataBufferBytes, transport::DataBufferSize);
        // From the worker's start until the first handshake ends.
        EXPECT_EQ(block->HandshakeFlags, transport::AwaitingClient | transport::HandshakeActive);
        // Nothing of the format is published before the client sets one.
        EXPECT_EQ(block->SampleRate, 0u);
        EXPECT_EQ(block->LatencyFrames, 0u);
        EXPECT_EQ(block->ClientConnected, 0u);
    }
}

TEST_F(DeviceStartTest, FailedPowerRegistrationAllocatesNothing) {
    LoadAndAdd();
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::RegisterAdapterPowerManagement,
                                               STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::AllocatedPageCount(), 0u);
    EXPECT_TRUE(host::user::GetDeviceInterfacePaths(
                    {0xacc2f77f, 0x7e94, 0x4cfd, {0xa5, 0x94, 0xcf, 0xb7, 0x6b, 0x62, 0x28, 0x85}})
                    .empty());
}

TEST_F(DeviceStartTest, FailedRenderAllocationSkipsTheCaptureOne) {
    LoadAndAdd();
    host::LimitPageAllocation(0);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::AllocatedPageCount(), 0u);
    EXPECT_EQ(Endpoint(true).dataBuffer.mdl, nullptr);
    EXPECT_EQ(Endpoint(false).dataBuffer.mdl, nullptr);
}

TEST_F(DeviceStartTest, FailedCaptureAllocationKeepsTheRenderRegions) {
    LoadAndAdd();
    // The Render data buffer and control block succeed; the Capture data buffer does not.
    host::LimitPageAllocation(0, 2);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(Endpoint(true).controlBlock.mdl, nullptr);
    EXPECT_EQ(Endpoint(false).dataBuffer.mdl, nullptr);
}

TEST_F(DeviceStartTest, AShortDataBufferIsAFailureNotASmallerBuffer) {
    LoadAndAdd();
    host::LimitPageAllocation(transport::DataBufferSize / 2);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Endpoint(true).dataBufferBytes, 0u);
}

TEST_F(DeviceStartTest, AFailedControlBlockMappingFailsTheStart) {
    LoadAndAdd();
    // The Render data buffer maps; its control block's system mapping fails.
    host::FailSystemMapping(1);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(Endpoint(true).dataBuffer.mdl, nullptr);
    EXPECT_EQ(Endpoint(true).controlBlock.mdl, nullptr);
}

TEST_F(DeviceStartTest, ASecondStartKeepsTheFirstAdapter) {
    LoadAndStart();
    AdapterCommon* first = Adapter();
    EXPECT_EQ(Start(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Adapter(), first);
    host::Process& client = NewProcess(false);
    HANDLE file = OpenTransport(client, true);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    Close(client, file);
}

} // namespace
