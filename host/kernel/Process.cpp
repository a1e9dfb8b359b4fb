// The calling thread's process context.
#include "Process.h"

namespace host {

namespace {
thread_local Process* threadProcess = nullptr;
}

Process* CurrentProcess() {
    return threadProcess;
}

ProcessScope::ProcessScope(Process* process) : previous(threadProcess) {
    threadProcess = process;
}

ProcessScope::~ProcessScope() {
    threadProcess = previous;
}

} // namespace host
