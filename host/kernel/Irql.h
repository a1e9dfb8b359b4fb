// IRQL per thread. Every thread (test threads, system threads, user-mode callers) starts at
// PASSIVE_LEVEL; spin locks raise to DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

namespace host {

KIRQL CurrentIrql();

// Bug-checks (IRQL_NOT_LESS_OR_EQUAL) unless the current IRQL is at most maximum; what names
// the call that was refused.
void RequireIrqlAtMost(KIRQL maximum, const char* what);

// Sets the thread's IRQL without checks (for the kernel's own raise and lower paths).
void SetCurrentIrql(KIRQL irql);

} // namespace host
