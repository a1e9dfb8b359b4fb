// The Windows version the machine reports through RtlGetVersion.
#pragma once

#include <ntddk.h>

namespace host {

// Sets what RtlGetVersion reports on the current machine (default 10.0, build 19045).
void SetOsVersion(ULONG major, ULONG minor, ULONG build);

} // namespace host
