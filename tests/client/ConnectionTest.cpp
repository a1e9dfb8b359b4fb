// Opening a direction against the fake driver: every failure undoing what was opened, and a
// driver's odd buffer size. (The real driver's own tests open, register and close connections of
// both widths in both directions.)
#include <gtest/gtest.h>

#include "FakeDriver.h"
#include "conduit/Client.h"

namespace conduit {
namespace {

using testing::FakeDriver;

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
