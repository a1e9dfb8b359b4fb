// The current process and thread as drivers see them, and KeStackAttachProcess: a thread runs in
// another process's context (its handle table, its user address space) until it detaches.
// Attaches nest and must be undone in reverse order with the state each one filled in.
#include <memory>
#include <string>
#include <vector>

#include "BugCheck.h"
#include "Irql.h"
#include "Objects.h"
#include "Process.h"
#include "SystemThread.h"
#include "Thread.h"

namespace {

struct Attachment {
    PRKAPC_STATE state;
    std::unique_ptr<host::ProcessScope> scope;
};

thread_local std::vector<Attachment> attachments;

} // namespace

namespace host {

std::size_t DetachAllProcesses() {
    std::size_t count = attachments.size();
    while (!attachments.empty()) {
        attachments.pop_back();
    }
    return count;
}

} // namespace host

extern "C" PEPROCESS NTAPI PsGetCurrentProcess(VOID) {
    return host::ProcessObjectOf(host::CurrentProcess());
}

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
    return host::ProcessObjectOf(host::CurrentProcess());
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) {
    host::Process* process = host::CurrentProcess();
    return reinterpret_cast<HANDLE>(process != nullptr ? static_cast<ULONG_PTR>(process->id)
                                                       : host::SystemProcessId);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(host::CurrentThread());
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<HANDLE>(host::SystemThreads::Current().ThreadId(host::CurrentThread()));
}

extern "C" VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
    host::RequireIrqlAtMost(APC_LEVEL, "KeStackAttachProcess");
    host::Process* target = nullptr;
    if (Process == nullptr || !host::ObjectManager::Current().FindProcess(Process, &target)) {
        host::BugCheck(INVALID_PROCESS_ATTACH_ATTEMPT, reinterpret_cast<ULONG_PTR>(Process), 0, 0,
                       0, "KeStackAttachProcess to something that is not a process object");
    }
    if (ApcState == nullptr) {
        host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0,
                       0, 0, "KeStackAttachProcess without a state to save the context in");
    }
    // The state records where the thread came from, as Windows's does; the host keeps its own
    // copy and only checks the pointer at detach.
    *ApcState = KAPC_STATE{};
    ApcState->Process = &host::ProcessObjectOf(host::CurrentProcess())->Pcb;
    attachments.push_back(Attachment{ApcState, std::make_unique<host::ProcessScope>(target)});
}

extern "C" VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
    host::RequireIrqlAtMost(APC_LEVEL, "KeUnstackDetachProcess");
    if (attachments.empty() || attachments.back().state != ApcState) {
        host::BugCheck(INVALID_PROCESS_DETACH_ATTEMPT, reinterpret_cast<ULONG_PTR>(ApcState),
                       attachments.size(), 0, 0,
                       attachments.empty()
                           ? "KeUnstackDetachProcess on a thread that is not attached"
                           : "KeUnstackDetachProcess with another state than the last "
                             "KeStackAttachProcess filled in (attaches must be undone in reverse "
                             "order)");
    }
    attachments.pop_back();
}
