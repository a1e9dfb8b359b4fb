// The debugger flags are data exports, so they live as globals; the per-machine subsystem puts
// them back to "no debugger" when its machine ends, so no test inherits an attached debugger
// from the one before (attaching, detaching and breaking all create the subsystem).
#include "Debugger.h"

#include <atomic>

#include <ntddk.h>

#include "BugCheck.h"
#include "Machine.h"

BOOLEAN KdDebuggerEnabled = FALSE;
BOOLEAN KdDebuggerNotPresent = TRUE;

namespace host {

namespace {

// The exception code of a breakpoint instruction (STATUS_BREAKPOINT).
constexpr ULONG_PTR BreakpointException = 0x80000003;

void SetDebuggerFlags(bool attached) {
    __atomic_store_n(&KdDebuggerEnabled, attached ? TRUE : FALSE, __ATOMIC_SEQ_CST);
    __atomic_store_n(&KdDebuggerNotPresent, attached ? FALSE : TRUE, __ATOMIC_SEQ_CST);
}

struct KernelDebugger : Subsystem {
    ~KernelDebugger() override { SetDebuggerFlags(false); }
    std::atomic<unsigned> breaks{0};
};

} // namespace

void AttachKernelDebugger() {
    Machine::Current().Get<KernelDebugger>();
    SetDebuggerFlags(true);
}

void DetachKernelDebugger() {
    Machine::Current().Get<KernelDebugger>();
    SetDebuggerFlags(false);
}

unsigned KernelDebuggerBreaks() {
    return Machine::Current().Get<KernelDebugger>().breaks;
}

} // namespace host

extern "C" __attribute__((noinline)) VOID NTAPI DbgBreakPoint(VOID) {
    host::KernelDebugger& debugger = host::Machine::Current().Get<host::KernelDebugger>();
    if (__atomic_load_n(&KdDebuggerEnabled, __ATOMIC_SEQ_CST)) {
        ++debugger.breaks;
        return;
    }
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, host::BreakpointException,
                   reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0,
                   "DbgBreakPoint with no kernel debugger attached");
}
