// The per-thread IRQL and the raise and lower calls.
#include "Irql.h"

#include <string>

#include "BugCheck.h"

namespace host {

__thread KIRQL threadIrql = PASSIVE_LEVEL;

HOST_KEEPS_XMM void RefuseIrql(KIRQL maximum, const char* what) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, 0, threadIrql, maximum, 0,
             std::string(what) + " called at IRQL " + std::to_string(threadIrql) +
                 ", above its maximum " + std::to_string(maximum));
}

} // namespace host

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return host::CurrentIrql();
}

extern "C" VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = host::CurrentIrql();
    if (NewIrql < current) {
        host::BugCheck(IRQL_NOT_GREATER_OR_EQUAL, current, NewIrql, 0, 0,
                       "KeRaiseIrql to a level below the current one");
    }
    *OldIrql = current;
    host::SetCurrentIrql(NewIrql);
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    KIRQL current = host::CurrentIrql();
    if (NewIrql > current) {
        host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, current, NewIrql, 0, 0,
                       "KeLowerIrql to a level above the current one");
    }
    host::SetCurrentIrql(NewIrql);
}
