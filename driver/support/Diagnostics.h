// Diagnostics of the format and attribute checks: composed into a caller's buffer on request,
// never stored or printed here; and the kernel debugger's presence.
#pragma once
#include "platform/KernelHeaders.h"

// Characters of a diagnostic buffer, the terminating zero included.
const ULONG MessageCapacity = 128;

// Formats into messageBuffer (MessageCapacity characters), cutting what does not fit; does
// nothing when messageBuffer is null. Arguments follow the string formatter's conversions.
void ReportMessage(PWCHAR messageBuffer, PCWSTR format, ...);

BOOLEAN IsDebuggerEnabled();
