// User-mode events over kernel events. Set, reset and wait go through the object manager with
// user-mode access checks, as the system services behind them do on Windows.
#include "UserEvents.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Irql.h"
#include "Objects.h"
#include "Process.h"
#include "UserMode.h"

namespace host::user {

namespace {

class UserEvent : public HandleObject {
public:
    UserEvent(bool manualReset, bool initialState) : manualReset(manualReset) {
        KeInitializeEvent(&event, manualReset ? NotificationEvent : SynchronizationEvent,
                          initialState ? TRUE : FALSE);
    }
    std::string Describe() const override {
        return manualReset ? "Event (manual reset)" : "Event (auto reset)";
    }
    void* Body() override { return &event; }
    POBJECT_TYPE Type() const override { return EventObjectType(); }

private:
    KEVENT event{};
    const bool manualReset;
};

[[noreturn, gnu::cold]] void RefuseOutsideProcess(const char* call) {
    std::fprintf(stderr, "host: %s called outside a live user-mode process\n", call);
    std::abort();
}

inline void RequireUserProcess(const char* call) {
    RequireIrqlAtMost(PASSIVE_LEVEL, call);
    Process* process = CurrentProcess();
    if (process == nullptr || !process->IsAlive()) {
        RefuseOutsideProcess(call);
    }
}

// Sets or resets the event handle names; the handle must grant EVENT_MODIFY_STATE.
BOOL ChangeEvent(HANDLE handle, bool set) {
    ObjectManager::HandleLookup event;
    NTSTATUS status = ObjectManager::Current().LookupHandle(handle, EVENT_MODIFY_STATE,
                                                            EventObjectType(), UserMode, &event);
    SetLastStatus(status);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    if (set) {
        KeSetEvent(static_cast<PRKEVENT>(event.body), EVENT_INCREMENT, FALSE);
    } else {
        KeResetEvent(static_cast<PRKEVENT>(event.body));
    }
    return TRUE;
}

} // namespace

HANDLE CreateEvent(bool manualReset, bool initialState, ACCESS_MASK desiredAccess) {
    RequireUserProcess("CreateEvent");
    auto event = std::make_shared<UserEvent>(manualReset, initialState);
    HANDLE handle = ObjectManager::Current().Insert(CurrentProcess()->Handles(), std::move(event),
                                                    desiredAccess);
    SetLastStatus(STATUS_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE event) {
    RequireUserProcess("SetEvent");
    return ChangeEvent(event, true);
}

BOOL ResetEvent(HANDLE event) {
    RequireUserProcess("ResetEvent");
    return ChangeEvent(event, false);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    NTSTATUS status =
        NtWaitForSingleObject(object, FALSE, milliseconds == INFINITE ? nullptr : &timeout);
    if (status == STATUS_SUCCESS) {
        return WAIT_OBJECT_0;
    }
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

NTSTATUS NtWaitForSingleObject(HANDLE object, BOOLEAN alertable, PLARGE_INTEGER timeout) {
    RequireUserProcess("WaitForSingleObject");
    ObjectManager::HandleLookup waited;
    NTSTATUS status =
        ObjectManager::Current().LookupHandle(object, SYNCHRONIZE, nullptr, UserMode, &waited);
    if (!NT_SUCCESS(status)) {
        SetLastStatus(status);
        return status;
    }
    if (waited.type != EventObjectType() && waited.type != ThreadObjectType()) {
        std::fprintf(stderr,
                     "host: WaitForSingleObject on a %s object is not supported (events and "
                     "threads are)\n",
                     waited.type != nullptr ? waited.type->name : "untyped");
        std::abort();
    }
    // The lookup holds the object (an event's handle may be closed during the wait).
    status = KeWaitForSingleObject(waited.body, UserRequest, UserMode, alertable, timeout);
    SetLastStatus(status);
    return status;
}

} // namespace host::user
