// The host backend in a host process: what it reports when the driver is absent or a handle is
// not open, which process's handles it uses, and waits shorter than a millisecond.
#include <gtest/gtest.h>

#include "HostBackend.h"
#include "conduit/Client.h"
#include "kernel/Process.h"
#include "HostTest.h"

namespace conduit {
namespace {

class HostBackendTest : public HostTest {};

TEST_F(HostBackendTest, NoDriverMeansNoInterfaceAndNothingOpen) {
    host::Process& process = machine.Get<host::Processes>().Create("client", false);
    HostBackend backend(process);
    EXPECT_FALSE(backend.Is32Bit());
    std::unique_ptr<Connection> connection;
    const Status status = Connection::Open(backend, Direction::Render, &connection);
    EXPECT_EQ(status.code(), status::ObjectNameNotFound) << status.ToString();

    Handle file = 0;
    const Status open = backend.OpenFile(u"\\\\?\\ROOT#MEDIA#0000#{acc2f77f-7e94-4cfd-a594-"
                                         u"cfb76b622885}\\acc2f77f-7e94-4cfd-a594-cfb76b622885"
                                         u"\\Render",
                                         &file);
    EXPECT_FALSE(open.ok());
    EXPECT_EQ(file, InvalidHandle);
    machine.Get<host::Processes>().Exit(process);
}

TEST_F(HostBackendTest, RequestsOnAHandleThatIsNotOpenFail) {
    host::Process& process = machine.Get<host::Processes>().Create("client32", true);
    HostBackend backend(process);
    EXPECT_TRUE(backend.Is32Bit());
    std::uint32_t returned = 7;
    const std::uint32_t version = 1;
    const Status status =
        backend.DeviceControl(0x1234, 0x22A414, &version, 4, nullptr, 0, &returned);
    EXPECT_EQ(status.code(), static_cast<std::int32_t>(0xC0000008) /* STATUS_INVALID_HANDLE */);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(backend.CloseFile(0x1234).ok());
    machine.Get<host::Processes>().Exit(process);
}

// Periods of 96 frames or less at 48 kHz need waits under a millisecond. On the virtual clock a
// time-out moves time exactly to its deadline, so a wait rounded up to whole milliseconds would
// move it further than asked.
TEST_F(HostBackendTest, WaitsAndSleepsShorterThanAMillisecondKeepTheirLength) {
    host::Process& process = machine.Get<host::Processes>().Create("client", false);
    HostBackend backend(process);
    Handle event = InvalidHandle;
    ASSERT_TRUE(backend.CreateEvent(&event).ok());
    constexpr std::chrono::microseconds Short(200);
    const LONGLONG before = machine.Time().Offset();
    EXPECT_EQ(backend.WaitEvent(event, Short), WaitResult::TimedOut);
    backend.Sleep(Short);
    EXPECT_LE(machine.Time().Offset() - before, 2 * Short.count() * 10);

    EXPECT_EQ(backend.WaitEvent(event, std::chrono::microseconds(0)), WaitResult::TimedOut);
    ASSERT_TRUE(backend.CloseEvent(event).ok());
    EXPECT_EQ(backend.WaitEvent(event, Short), WaitResult::Failed);
    machine.Get<host::Processes>().Exit(process);
}

} // namespace
} // namespace conduit
