// User-mode events: the Win32-shaped calls refuse what Windows refuses. (A client's event that
// the kernel sets waking the client's waiter is what every handshake of the integration tests
// does.)
#include <gtest/gtest.h>

#include <ntddk.h>

#include "HostTest.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace {

using host::ProcessScope;
namespace user = host::user;

class UserEventTest : public HostTest {
protected:
    host::Processes& processes = machine.Get<host::Processes>();
    host::Process& client = processes.Create("client", false);
};

TEST_F(UserEventTest, RefusalsSetTheLastStatus) {
    ProcessScope scope(&client);
    HANDLE waitOnly = user::CreateEvent(true, false, SYNCHRONIZE);
    HANDLE setOnly = user::CreateEvent(true, false, EVENT_MODIFY_STATE);
    HANDLE closed = user::CreateEvent(true, false);
    ASSERT_TRUE(user::CloseHandle(closed));
    // Found once, so among the entries the table keeps at hand, then closed.
    HANDLE closedAfterUse = user::CreateEvent(true, false);
    ASSERT_TRUE(user::SetEvent(closedAfterUse));
    ASSERT_TRUE(user::CloseHandle(closedAfterUse));

    struct Case {
        const char* name;
        bool result;
        NTSTATUS status;
    };
    const auto set = [](HANDLE handle) {
        BOOL result = user::SetEvent(handle);
        return Case{"", result != FALSE, user::LastStatus()};
    };
    const auto wait = [](HANDLE handle) {
        DWORD result = user::WaitForSingleObject(handle, 0);
        return Case{"", result != WAIT_FAILED, user::LastStatus()};
    };
    struct Row {
        const char* name;
        Case actual;
        bool result;
        NTSTATUS status;
    };
    const Row rows[] = {
        {"set without the modify right", set(waitOnly), false, STATUS_ACCESS_DENIED},
        {"set with it", set(setOnly), true, STATUS_SUCCESS},
        {"wait without synchronize", wait(setOnly), false, STATUS_ACCESS_DENIED},
        {"wait with it", wait(waitOnly), true, STATUS_TIMEOUT},
        {"set a closed handle", set(closed), false, STATUS_INVALID_HANDLE},
        {"wait on a closed handle", wait(closed), false, STATUS_INVALID_HANDLE},
        {"wait on a handle closed after use", wait(closedAfterUse), false, STATUS_INVALID_HANDLE},
        {"close twice", Case{"", user::CloseHandle(closed) != FALSE, user::LastStatus()}, false,
         STATUS_INVALID_HANDLE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.actual.result, row.result);
        EXPECT_EQ(row.actual.status, row.status);
    }
    EXPECT_TRUE(user::CloseHandle(waitOnly));
    EXPECT_TRUE(user::CloseHandle(setOnly));
}

} // namespace
