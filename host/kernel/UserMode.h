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

namespace host {
class Process;
}

namespace host::user {

// The NTSTATUS of the calling thread's last failed (or last) call, like GetLastError.
NTSTATUS LastStatus();
// Sets it, for the user-mode calls kept in other files (SetLastError).
void SetLastStatus(NTSTATUS status);

// Opens path: an interface path as a device enumeration returns it ("\\?\ROOT#MEDIA#0000#
// {class}") or as the kernel names it ("\??\..."), or a device's own name ("\Device\00000040",
// also as "\\?\GLOBALROOT\Device\..."), which reaches the device whether or not an interface is
// enabled; optionally followed by "\more\path", which the driver sees as the file object's
// FileName (with its leading backslash). Returns a handle in the current process, or
// INVALID_HANDLE_VALUE with LastStatus() set.
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

// A new handle in target to the object handle names in the current process, with the same
// access (DuplicateHandle with DUPLICATE_SAME_ACCESS); null with LastStatus() set.
HANDLE DuplicateHandle(HANDLE handle, host::Process& target);

// The other requests any program may send on a handle, each reaching the driver as its IRP.
// Reads and writes are buffered on a device with DO_BUFFERED_IO; on a direct-I/O device the
// host builds no MDL over the caller's buffer and supports only zero lengths (no MDL then, as
// on Windows). Information requests are buffered; security requests hand over the caller's
// buffer. Each returns the final NTSTATUS; *information receives the request's Information.
NTSTATUS ReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* information = nullptr);
NTSTATUS WriteFile(HANDLE handle, const void* buffer, ULONG length, ULONG* information = nullptr);
NTSTATUS FlushFileBuffers(HANDLE handle);
NTSTATUS QueryInformationFile(HANDLE handle, void* buffer, ULONG length,
                              FILE_INFORMATION_CLASS informationClass);
NTSTATUS SetInformationFile(HANDLE handle, const void* buffer, ULONG length,
                            FILE_INFORMATION_CLASS informationClass);
NTSTATUS QuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information, void* buffer,
                             ULONG length, ULONG* needed = nullptr);
NTSTATUS SetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                           PSECURITY_DESCRIPTOR descriptor);

// The user-mode paths of the enabled device interfaces of a class.
std::vector<std::u16string> GetDeviceInterfacePaths(const GUID& interfaceClass);

// A language-neutral property of the interface a user-mode path names, as the configuration
// manager reads one: size holds the buffer's bytes and receives the value's. Fails with
// STATUS_OBJECT_NAME_NOT_FOUND for an unknown interface or property, STATUS_BUFFER_TOO_SMALL.
NTSTATUS GetDeviceInterfaceProperty(const std::u16string& path, const DEVPROPKEY& key,
                                    DEVPROPTYPE* type, void* buffer, ULONG* size);

} // namespace host::user
