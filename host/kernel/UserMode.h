// The user-mode side of the host: what a client program or the simulated audio engine calls,
// Win32-shaped. Each call runs in the calling thread, in the current process's context (set
// with ProcessScope), at PASSIVE_LEVEL, the way a system call enters the kernel.
#pragma once

#include <string>
#include <vector>

#include <ntddk.h>

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#endif

namespace host::user {

// The NTSTATUS of the calling thread's last failed (or last) call, like GetLastError.
NTSTATUS LastStatus();
// Sets it, for the user-mode calls kept in other files (SetLastError).
void SetLastStatus(NTSTATUS status);

// Opens path: an interface path as a device enumeration returns it ("\\?\ROOT#MEDIA#0000#
// {class}") or as the kernel names it ("\??\..."), optionally followed by "\more\path", which
// the driver sees as the file object's FileName (with its leading backslash). Returns a handle
// in the current process, or INVALID_HANDLE_VALUE with LastStatus() set.
HANDLE CreateFile(const std::u16string& path);

// Opens name relative to an open file (the file object's RelatedFileObject), as kernel
// streaming creates pins under a filter.
HANDLE CreateFileRelative(HANDLE parent, const std::u16string& name);

// Sends a device control request and waits for it. METHOD_BUFFERED requests go through a
// system buffer of max(input, output) bytes; METHOD_NEITHER hands the caller's buffers over.
// Returns TRUE when the final status is a success; bytesReturned is the request's Information
// (0 on an error status). status, when given, receives the final NTSTATUS.
BOOL DeviceIoControl(HANDLE handle, ULONG ioControlCode, const void* inputBuffer,
                     ULONG inputBufferLength, void* outputBuffer, ULONG outputBufferLength,
                     ULONG* bytesReturned, NTSTATUS* status = nullptr);

// Closes a handle of the current process: the last handle of a file sends its cleanup, the
// last reference its close.
BOOL CloseHandle(HANDLE handle);

// The user-mode paths of the enabled device interfaces of a class.
std::vector<std::u16string> GetDeviceInterfacePaths(const GUID& interfaceClass);

// A language-neutral property of the interface a user-mode path names, as the configuration
// manager reads one: size holds the buffer's bytes and receives the value's. Fails with
// STATUS_OBJECT_NAME_NOT_FOUND for an unknown interface or property, STATUS_BUFFER_TOO_SMALL.
NTSTATUS GetDeviceInterfaceProperty(const std::u16string& path, const DEVPROPKEY& key,
                                    DEVPROPTYPE* type, void* buffer, ULONG* size);

} // namespace host::user
