// Event enabling on a filter from user mode, and the port's event list: which enabled events a
// miniport's GenerateEventList signals (each of the driver's filters has one event, so only here
// does another id or set meet an enabled event), and that disabled or closed ones stay quiet. A
// pin event hearing only its pin is the driver's jack test.
#include <gtest/gtest.h>

#include <ksmedia.h>

#include "FakeMiniport.h"
#include "kernel/UserEvents.h"

namespace {

using fake::FilterTest;

class EventTest : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(Start({{L"topo", false}}), STATUS_SUCCESS);
        filter = OpenFilter(u"topo");
        ASSERT_NE(filter, INVALID_HANDLE_VALUE);
        host::ProcessScope scope(client);
        eventHandle = host::user::CreateEvent(false, false);
    }

    // Enables an event with a KSE_PIN (pin given) or a bare KSEVENT.
    NTSTATUS Enable(ULONG id, ULONG flags, const ULONG* pin, KSEVENTDATA* data) {
        KSE_PIN request{{{fake::FakeEventSet, id, flags}}, pin != nullptr ? *pin : 0, 0};
        host::ProcessScope scope(client);
        NTSTATUS status = STATUS_SUCCESS;
        host::user::DeviceIoControl(filter, IOCTL_KS_ENABLE_EVENT, &request,
                                    pin != nullptr ? sizeof(KSE_PIN) : sizeof(KSEVENT), data,
                                    data != nullptr ? sizeof(*data) : 0, nullptr, &status);
        return status;
    }
    KSEVENTDATA EventData() {
        KSEVENTDATA data{};
        data.NotificationType = KSEVENTF_EVENT_HANDLE;
        data.EventHandle.Event = eventHandle;
        return data;
    }
    void Generate(ULONG id, BOOL pinEvent, ULONG pin, BOOL nodeEvent = FALSE,
                  ULONG node = ULONG(-1)) {
        GUID set = fake::FakeEventSet;
        topologies.at(0).events->GenerateEventList(&set, id, pinEvent, pin, nodeEvent, node);
    }

    // Whether the event was set since the last look (an auto-reset event: looking clears it).
    bool Signalled() {
        host::ProcessScope scope(client);
        return host::user::WaitForSingleObject(eventHandle, 0) == WAIT_OBJECT_0;
    }

    // The client process's exit at the end of the test closes both.
    HANDLE filter = INVALID_HANDLE_VALUE;
    HANDLE eventHandle = nullptr;
};

TEST_F(EventTest, AnEnabledEventIsSignalledByMatchingGenerations) {
    KSEVENTDATA data = EventData();
    ASSERT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_ENABLE, nullptr, &data), STATUS_SUCCESS);
    EXPECT_EQ(state.eventAdds, 1);
    EXPECT_EQ(state.eventTarget,
              static_cast<PUNKNOWN>(static_cast<IMiniportTopology*>(&topologies.at(0))));
    EXPECT_FALSE(Signalled());
    struct Case {
        const char* what;
        ULONG id;
        BOOL pinEvent;
        ULONG pin;
        bool signalled;
    };
    // Enabled for the filter: every pin's event of its id.
    const Case cases[] = {
        {"another id", fake::PinEventId, FALSE, 0, false},
        {"filter event", fake::FilterEventId, FALSE, 0, true},
        {"event of pin 1", fake::FilterEventId, TRUE, 1, true},
    };
    for (const Case& item : cases) {
        Generate(item.id, item.pinEvent, item.pin);
        EXPECT_EQ(Signalled(), item.signalled) << item.what;
    }
    GUID other = fake::FakeSet;
    topologies.at(0).events->GenerateEventList(&other, fake::FilterEventId, FALSE, 0, FALSE, 0);
    EXPECT_FALSE(Signalled());
}

TEST_F(EventTest, DisabledAndClosedEventsStayQuiet) {
    KSEVENTDATA first = EventData();
    KSEVENTDATA second = EventData();
    ASSERT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_ENABLE, nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_ENABLE, nullptr, &second), STATUS_SUCCESS);
    {
        host::ProcessScope scope(client);
        // The data a caller enabled with names the event it disables.
        KSEVENTDATA copy = first;
        NTSTATUS status = STATUS_SUCCESS;
        host::user::DeviceIoControl(filter, IOCTL_KS_DISABLE_EVENT, &copy, sizeof(copy), nullptr, 0,
                                    nullptr, &status);
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(host::user::DeviceIoControl(filter, IOCTL_KS_DISABLE_EVENT, &first,
                                                sizeof(first), nullptr, 0, nullptr));
        EXPECT_FALSE(host::user::DeviceIoControl(filter, IOCTL_KS_DISABLE_EVENT, &first,
                                                 sizeof(first), nullptr, 0, nullptr));
    }
    EXPECT_EQ(state.eventRemoves, 1);
    Generate(fake::FilterEventId, FALSE, 0);
    EXPECT_TRUE(Signalled()); // the second is still enabled
    {
        host::ProcessScope scope(client);
        host::user::CloseHandle(filter);
    }
    EXPECT_EQ(state.eventRemoves, 2);
    Generate(fake::FilterEventId, FALSE, 0);
    EXPECT_FALSE(Signalled());
}

TEST_F(EventTest, EnablingRefusesBadRequests) {
    struct Case {
        const char* what;
        ULONG id;
        ULONG flags;
        ULONG notification;
        bool validHandle;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"unknown id", 9, KSEVENT_TYPE_ENABLE, KSEVENTF_EVENT_HANDLE, true, STATUS_NOT_FOUND},
        {"one-shot", fake::FilterEventId, KSEVENT_TYPE_ONESHOT, KSEVENTF_EVENT_HANDLE, true,
         STATUS_INVALID_PARAMETER},
        {"semaphore", fake::FilterEventId, KSEVENT_TYPE_ENABLE, KSEVENTF_SEMAPHORE_HANDLE, true,
         STATUS_INVALID_PARAMETER},
        {"bad handle", fake::FilterEventId, KSEVENT_TYPE_ENABLE, KSEVENTF_EVENT_HANDLE, false,
         STATUS_INVALID_HANDLE},
        {"node event without a node", fake::FilterEventId,
         KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY, KSEVENTF_EVENT_HANDLE, true,
         STATUS_INVALID_BUFFER_SIZE},
    };
    for (const Case& item : cases) {
        KSEVENTDATA data = EventData();
        data.NotificationType = item.notification;
        if (!item.validHandle) {
            data.EventHandle.Event = reinterpret_cast<HANDLE>(0x7777);
        }
        EXPECT_EQ(Enable(item.id, item.flags, nullptr, &data), item.status) << item.what;
    }
    EXPECT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_ENABLE, nullptr, nullptr),
              STATUS_INVALID_BUFFER_SIZE);
    // A handle of another kind of object.
    KSEVENTDATA data = EventData();
    {
        host::ProcessScope scope(client);
        data.EventHandle.Event = filter;
    }
    EXPECT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_ENABLE, nullptr, &data),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(state.eventAdds, 0);
    // Basic support reaches the handler without an entry; the pin event item lacks it.
    EXPECT_EQ(Enable(fake::FilterEventId, KSEVENT_TYPE_BASICSUPPORT, nullptr, nullptr),
              STATUS_SUCCESS);
    const ULONG pin = 1;
    EXPECT_EQ(Enable(fake::PinEventId, KSEVENT_TYPE_BASICSUPPORT, &pin, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(state.eventAdds, 0);
}

} // namespace
