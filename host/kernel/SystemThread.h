// System threads: each one a real OS thread with its own thread object, running a driver's start
// routine at PASSIVE_LEVEL in the system process (or the process it was created in) until the
// routine returns or calls PsTerminateSystemThread. Also the host's controls over them.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include <ntddk.h>

#include "Machine.h"
#include "Process.h"

namespace host {

class SystemThreads : public Subsystem {
public:
    // Joins every thread; one still running then is a test that cannot end safely (its routine
    // would outlive the machine), so the process stops with a message instead.
    ~SystemThreads() override;
    static SystemThreads& Current();

    struct Record;
    // Starts routine(context) on a new OS thread for thread, in process's context.
    void Start(PKTHREAD thread, Process* process, PKSTART_ROUTINE routine, PVOID context);
    // The id Windows would give thread (PsGetCurrentThreadId, CLIENT_ID), assigned on first use.
    ULONG_PTR ThreadId(PKTHREAD thread);
    ULONG_PTR NewThreadId();
    void BindThreadId(PKTHREAD thread, ULONG_PTR id);
    // Applies priority to thread's OS thread if it is a running system thread of this machine.
    void ApplyPriority(PKTHREAD thread, KPRIORITY priority);
    bool ExitStatus(PKTHREAD thread, NTSTATUS* status);
    bool RunsRealTime(PKTHREAD thread);

    // Fault injection of PsCreateSystemThread.
    void FailCreation(NTSTATUS status, unsigned skip);
    bool TakeInjectedFailure(NTSTATUS* status);

    void Report(const std::string& finding);
    // Hands over (and forgets) the findings so far: for tests that provoke one on purpose.
    std::vector<std::string> TakeFindings();
    // System threads still running, and what threads left behind when they ended.
    void Verify(std::vector<std::string>& problems) override;

private:
    void Run(Record* record);
    Record* Find(PKTHREAD thread);

    std::mutex lock;
    std::list<Record> records;
    std::vector<std::pair<PKTHREAD, ULONG_PTR>> threadIds;
    ULONG_PTR nextThreadId = 0x1000;
    std::vector<std::string> findings;
    bool failurePending = false;
    NTSTATUS failureStatus = STATUS_SUCCESS;
    unsigned failureSkip = 0;
};

// ---- Controls for tests ----

// After skip calls of PsCreateSystemThread have succeeded, the next one fails with status and
// creates nothing.
void FailSystemThreadCreation(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, unsigned skip = 0);

// The status a system thread ended with (STATUS_SUCCESS when its routine returned, the argument
// of PsTerminateSystemThread otherwise); false while it runs or for another thread.
bool SystemThreadExitStatus(PKTHREAD thread, NTSTATUS* status);

// Whether the OS runs thread with real-time scheduling now (only where the OS allowed it).
bool SystemThreadRunsRealTime(PKTHREAD thread);

} // namespace host
