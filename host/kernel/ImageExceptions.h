// Structured exceptions raised into a Windows-built driver image: a host routine that Windows
// would raise from instead makes its return raise in the image's calling frame, and the host
// dispatches the exception the Windows way (the image's function table, its language handler,
// its filters, an unwind to the handler).
#pragma once

#include <ntddk.h>

namespace host {

// For a host routine that images import: when its caller is image code, arranges for the
// routine's return to raise status in that caller (the routine then returns at once, its value
// unused) and returns true; otherwise changes nothing and returns false. frame and
// returnAddress are the routine's own __builtin_frame_address(0) and __builtin_return_address(0)
// (the host keeps frame pointers, so the return address sits just above the frame).
bool RaiseInImageCaller(void* frame, void* returnAddress, NTSTATUS status);

// Whether address is the return address of a call from image code.
bool CalledFromImage(const void* returnAddress);

} // namespace host
