// The kernel debugger as the driver sees it: the KdDebuggerEnabled and KdDebuggerNotPresent
// flags and DbgBreakPoint. Tests attach a debugger to let breakpoints pass and count them.
#pragma once

namespace host {

// Attach or detach a debugger on the current machine; each machine starts without one.
void AttachKernelDebugger();
void DetachKernelDebugger();

// How many DbgBreakPoint calls an attached debugger caught on the current machine.
unsigned KernelDebuggerBreaks();

} // namespace host
