// User-mode events, Win32-shaped: handles in the calling process's table naming real kernel
// events, so a driver that references one and sets it wakes the user-mode waiter. Like the other
// user-mode calls they run in the calling thread, in the current process, at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000u
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 0x00000102u
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFu
#endif

namespace host::user {

// A new event (manual-reset: a notification event; otherwise a synchronization event). The
// handle grants desiredAccess (CreateEventEx's; CreateEvent grants EVENT_ALL_ACCESS). Returns
// null on failure, with LastStatus() set.
HANDLE CreateEvent(bool manualReset, bool initialState,
                   ACCESS_MASK desiredAccess = EVENT_ALL_ACCESS);

// FALSE with LastStatus() set for a bad handle (STATUS_INVALID_HANDLE), another kind of object
// (STATUS_OBJECT_TYPE_MISMATCH) or a handle without EVENT_MODIFY_STATE (STATUS_ACCESS_DENIED).
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with LastStatus() set (the handle needs
// SYNCHRONIZE). milliseconds may be INFINITE.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

// The native call behind it, with the kernel's time-out (100 ns units: negative relative,
// positive absolute, null for none), so that a wait shorter than a millisecond is honoured.
// STATUS_SUCCESS, STATUS_TIMEOUT, or the refusal (LastStatus() is set to the result).
NTSTATUS NtWaitForSingleObject(HANDLE object, BOOLEAN alertable, PLARGE_INTEGER timeout);

} // namespace host::user
