// Opening a direction against the fake driver: the request order, the payload widths, and
// every failure undoing what was opened.
#include <gtest/gtest.h>

#include "FakeDriver.h"
#include "conduit/Client.h"

namespace conduit {
namespace {

using testing::FakeDriver;

TEST(Connection, OpensTheDirectionFileAndRegistersTheEvent) {
    FakeDriver driver;
    std::unique_ptr<Connection> connection;
    Status status = Connection::Open(driver, Direction::Capture, &connection);
    ASSERT_TRUE(status.ok()) << status.ToString();
    EXPECT_EQ(driver.openedPath,
              driver.interfaces[0] + u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Capture");
    ASSERT_EQ(driver.requests.size(), 2u);
    EXPECT_EQ(driver.requests[0].code, transport::IoctlGetControlBlock);
    EXPECT_EQ(driver.requests[1].code, transport::IoctlSetEvent);
    EXPECT_EQ(driver.requests[1].input.size(), 12u);
    EXPECT_EQ(driver.registeredEvent, connection->event());
    EXPECT_EQ(connection->DataBuffer(), driver.data.data());
    EXPECT_EQ(connection->DataBytes(), transport::DataBufferSize);
    EXPECT_TRUE(connection->Read().clientConnected);

    EXPECT_TRUE(connection->Close().ok());
    EXPECT_EQ(driver.openFiles, 0);
    EXPECT_EQ(driver.openEvents, 0);
}

TEST(Connection, FailuresSayWhatFailedAndLeaveNothingOpen) {
    struct Case {
        const char* what;
        void (*arrange)(FakeDriver&);
        std::int32_t code;
        const char* message;
    } cases[] = {
        {"no interface", [](FakeDriver& d) { d.interfaces.clear(); }, status::ObjectNameNotFound,
         "interface"},
        {"busy", [](FakeDriver& d) { d.openStatus = static_cast<std::int32_t>(0x80000011); },
         static_cast<std::int32_t>(0x80000011), "another client"},
        {"no data buffer", [](FakeDriver& d) { d.block.DataBufferBytes = 0; },
         status::DeviceProtocolError, "data buffer"},
    };
    for (const Case& c : cases) {
        FakeDriver driver;
        c.arrange(driver);
        std::unique_ptr<Connection> connection;
        Status status = Connection::Open(driver, Direction::Render, &connection);
        EXPECT_EQ(status.code(), c.code) << c.what << ": " << status.ToString();
        EXPECT_NE(status.message().find(c.message), std::string::npos) << status.ToString();
        EXPECT_EQ(connection, nullptr);
        EXPECT_EQ(driver.openFiles, 0) << c.what;
        EXPECT_EQ(driver.openEvents, 0) << c.what;
    }
}

TEST(Connection, ASmallerDataBufferBoundsTheWindow) {
    FakeDriver driver;
    driver.block.DataBufferBytes = 4096;
    std::unique_ptr<Connection> connection;
    ASSERT_TRUE(Connection::Open(driver, Direction::Render, &connection).ok());
    EXPECT_EQ(connection->DataBytes(), 4096u);
    // Larger than the protocol's buffer: the client still stays within the protocol's size.
    FakeDriver large;
    large.block.DataBufferBytes = 0xFFFFFFFF;
    ASSERT_TRUE(Connection::Open(large, Direction::Render, &connection).ok());
    EXPECT_EQ(connection->DataBytes(), transport::DataBufferSize);
    connection.reset(); // closes through `large`, which ends before `connection` would
}

} // namespace
} // namespace conduit
