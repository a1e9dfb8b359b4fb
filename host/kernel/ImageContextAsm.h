// The assembly routines of ImageContext.cpp and the dispatcher entry the trampoline calls.
#pragma once

#include <ntddk.h>

extern "C" {
// Never called: its address replaces a return address (see RaiseInImageCaller).
__attribute__((visibility("hidden"))) void HostImageRaiseTrampoline();
// Resumes context on the calling thread (Linux convention, context in RDI).
[[noreturn]] __attribute__((visibility("hidden"))) void HostRestoreContext(const CONTEXT* context);
// Called by the trampoline with the captured context; RIP is filled in here.
[[noreturn]] __attribute__((visibility("hidden"))) void HostDispatchImageRaise(CONTEXT* context);
}
