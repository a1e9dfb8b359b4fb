// IRQL per thread. Every thread (test threads, system threads, user-mode callers) starts at
// PASSIVE_LEVEL; spin locks raise to DISPATCH_LEVEL. The checks are inline: every kernel call
// makes one.
#pragma once

#include <ntddk.h>

#include "KeepsXmm.h"

namespace host {

// The calling thread's IRQL (plain thread-local storage: no constructor to run).
extern __thread KIRQL threadIrql;

inline KIRQL CurrentIrql() {
    return threadIrql;
}

// Sets the thread's IRQL without checks (for the kernel's own raise and lower paths).
inline void SetCurrentIrql(KIRQL irql) {
    threadIrql = irql;
}

// The bug check of RequireIrqlAtMost.
[[noreturn, gnu::cold]] HOST_KEEPS_XMM void RefuseIrql(KIRQL maximum, const char* what);

// Bug-checks (IRQL_NOT_LESS_OR_EQUAL) unless the current IRQL is at most maximum; what names
// the call that was refused.
inline void RequireIrqlAtMost(KIRQL maximum, const char* what) {
    if (__builtin_expect(threadIrql > maximum, 0)) {
        RefuseIrql(maximum, what);
    }
}

} // namespace host
