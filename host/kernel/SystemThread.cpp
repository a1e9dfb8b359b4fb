// PsCreateSystemThread, PsTerminateSystemThread, KeSetPriorityThread and the OS threads behind
// them.
//
// PsTerminateSystemThread must not return. It throws a host-private exception that only the
// thread's own base frame catches. Driver frames are compiled without exceptions but keep their
// unwind tables (the x86-64 default), so the exception passes through them without running any
// driver cleanup (as on Windows), while host frames in between still release their locks. This
// avoids pthread_exit (forced unwinding that std::thread and the sanitizers handle less
// predictably) and longjmp (which would skip host destructors too). A Windows-built image is the
// exception: no C++ exception may cross its frames, so it is left by a checked jump instead.
#include "SystemThread.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <system_error>

#include "BugCheck.h"
#include "CallStack.h"
#include "Dispatcher.h"
#include "ImageExceptions.h"
#include "ImageUnwind.h"
#include "Irql.h"
#include "Objects.h"
#include "Thread.h"

namespace host {

struct SystemThreads::Record {
    PKTHREAD thread = nullptr;
    Process* process = nullptr;
    PKSTART_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    std::thread os;
    pthread_t native{};
    bool started = false;
    bool finished = false;
    bool realTime = false;
    NTSTATUS exitStatus = STATUS_PENDING;
    // Where PsTerminateSystemThread ends a routine of a Windows-built image (see CallRoutine).
    jmp_buf imageExit;
    void* routineFrame = nullptr;
    NTSTATUS imageExitStatus = STATUS_SUCCESS;
};

namespace {

// Thrown by PsTerminateSystemThread, caught only by SystemThreads::Run.
struct ThreadTermination {
    NTSTATUS status;
};

thread_local SystemThreads::Record* runningRecord = nullptr;

// Runs the thread's routine. A host-build routine that calls PsTerminateSystemThread leaves by
// the exception above; a Windows-built image's frames have no unwind data the C++ runtime can
// use, so its routine leaves by a jump back here instead, taken only once every frame between
// has been checked to be an image frame (no host frame is skipped). Not inlined: its frame
// pointer is how that check recognises this frame.
__attribute__((noinline)) NTSTATUS CallRoutine(SystemThreads::Record* record) {
    record->routineFrame = __builtin_frame_address(0);
    if (setjmp(record->imageExit) != 0) {
        return record->imageExitStatus;
    }
    record->routine(record->context);
    return STATUS_SUCCESS;
}

// A handle to a system thread. The thread object itself belongs to the dispatcher and lives as
// long as the machine, so the handle only names it.
class ThreadHandleObject : public HandleObject {
public:
    explicit ThreadHandleObject(PKTHREAD thread) : thread(thread) {}
    std::string Describe() const override { return "Thread '" + ThreadName(thread) + "'"; }
    void* Body() override { return thread; }
    POBJECT_TYPE Type() const override { return ThreadObjectType(); }

private:
    PKTHREAD thread;
};

} // namespace

SystemThreads::~SystemThreads() {
    for (Record& record : records) {
        bool finished = false;
        {
            std::lock_guard<std::mutex> hold(lock);
            finished = record.finished;
        }
        if (!finished) {
            std::fprintf(stderr,
                         "host: system thread '%s' is still running as the machine ends; its "
                         "routine would outlive the machine, so the test stops here\n",
                         ThreadName(record.thread).c_str());
            std::abort();
        }
        record.os.join();
    }
}

SystemThreads& SystemThreads::Current() {
    // The dispatcher owns the thread objects: it must be created before (and so destroyed after)
    // the threads.
    Dispatcher::Current();
    return Machine::Current().Get<SystemThreads>();
}

SystemThreads::Record* SystemThreads::Find(PKTHREAD thread) {
    for (Record& record : records) {
        if (record.thread == thread) {
            return &record;
        }
    }
    return nullptr;
}

void SystemThreads::Start(PKTHREAD thread, Process* process, PKSTART_ROUTINE routine,
                          PVOID context) {
    std::lock_guard<std::mutex> hold(lock);
    records.emplace_back();
    Record& record = records.back();
    record.thread = thread;
    record.process = process;
    record.routine = routine;
    record.context = context;
    try {
        record.os = std::thread(&SystemThreads::Run, this, &record);
    } catch (const std::system_error&) {
        records.pop_back();
        throw;
    }
}

void SystemThreads::Run(Record* record) {
    AdoptThreadObject(record->thread);
    runningRecord = record;
    {
        std::lock_guard<std::mutex> hold(lock);
        record->native = pthread_self();
        record->started = true;
    }
    // A priority set before the thread got here is applied now.
    ApplyPriority(record->thread, ThreadPriority(record->thread));
    NTSTATUS exitStatus = STATUS_SUCCESS;
    std::vector<std::string> problems;
    {
        ProcessScope context(record->process);
        try {
            exitStatus = CallRoutine(record);
        } catch (const ThreadTermination& termination) {
            exitStatus = termination.status;
        }
        if (CurrentIrql() != PASSIVE_LEVEL) {
            problems.push_back("'" + ThreadName(record->thread) + "' ended at IRQL " +
                               std::to_string(CurrentIrql()));
            SetCurrentIrql(PASSIVE_LEVEL);
        }
        if (std::size_t attached = DetachAllProcesses(); attached != 0) {
            problems.push_back("'" + ThreadName(record->thread) +
                               "' ended attached to another process (" + std::to_string(attached) +
                               " KeStackAttachProcess without KeUnstackDetachProcess)");
        }
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        findings.insert(findings.end(), problems.begin(), problems.end());
        record->exitStatus = exitStatus;
        record->finished = true;
    }
    runningRecord = nullptr;
    // Last: a waiter on the thread object may end the machine as soon as it is signalled.
    MarkThreadTerminated(record->thread);
}

ULONG_PTR SystemThreads::ThreadId(PKTHREAD thread) {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& entry : threadIds) {
        if (entry.first == thread) {
            return entry.second;
        }
    }
    threadIds.emplace_back(thread, nextThreadId);
    nextThreadId += 4;
    return threadIds.back().second;
}

ULONG_PTR SystemThreads::NewThreadId() {
    std::lock_guard<std::mutex> hold(lock);
    ULONG_PTR id = nextThreadId;
    nextThreadId += 4;
    return id;
}

void SystemThreads::BindThreadId(PKTHREAD thread, ULONG_PTR id) {
    std::lock_guard<std::mutex> hold(lock);
    threadIds.emplace_back(thread, id);
}

void SystemThreads::ApplyPriority(PKTHREAD thread, KPRIORITY priority) {
    std::lock_guard<std::mutex> hold(lock);
    Record* record = Find(thread);
    if (record == nullptr || !record->started || record->finished) {
        return;
    }
    sched_param parameters{};
    int policy = SCHED_OTHER;
    if (priority >= LOW_REALTIME_PRIORITY) {
        // Windows's real-time band 16..31 onto the bottom of the OS's round-robin range, so a
        // busy driver thread cannot starve the OS's own real-time work.
        policy = SCHED_RR;
        int lowest = sched_get_priority_min(SCHED_RR);
        int highest = sched_get_priority_max(SCHED_RR);
        parameters.sched_priority =
            std::clamp(lowest + (priority - LOW_REALTIME_PRIORITY), lowest, highest);
    }
    // Without the privilege for real-time scheduling the call fails; the priority then stays
    // recorded only, which is all a test can observe anyway.
    if (pthread_setschedparam(record->native, policy, &parameters) == 0) {
        record->realTime = policy != SCHED_OTHER;
    }
}

bool SystemThreads::ExitStatus(PKTHREAD thread, NTSTATUS* status) {
    std::lock_guard<std::mutex> hold(lock);
    Record* record = Find(thread);
    if (record == nullptr || !record->finished) {
        return false;
    }
    *status = record->exitStatus;
    return true;
}

bool SystemThreads::RunsRealTime(PKTHREAD thread) {
    std::lock_guard<std::mutex> hold(lock);
    Record* record = Find(thread);
    return record != nullptr && record->realTime && !record->finished;
}

void SystemThreads::FailCreation(NTSTATUS status, unsigned skip) {
    std::lock_guard<std::mutex> hold(lock);
    failurePending = !NT_SUCCESS(status);
    failureStatus = status;
    failureSkip = skip;
}

bool SystemThreads::TakeInjectedFailure(NTSTATUS* status) {
    std::lock_guard<std::mutex> hold(lock);
    if (!failurePending) {
        return false;
    }
    if (failureSkip > 0) {
        --failureSkip;
        return false;
    }
    failurePending = false;
    *status = failureStatus;
    return true;
}

void SystemThreads::Report(const std::string& finding) {
    std::lock_guard<std::mutex> hold(lock);
    findings.push_back(finding);
}

std::vector<std::string> SystemThreads::TakeFindings() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> taken;
    taken.swap(findings);
    return taken;
}

void SystemThreads::Verify(std::vector<std::string>& problems) {
    std::lock_guard<std::mutex> hold(lock);
    problems.insert(problems.end(), findings.begin(), findings.end());
    for (const Record& record : records) {
        if (!record.finished) {
            problems.push_back("'" + ThreadName(record.thread) + "' is still running");
        }
    }
}

void FailSystemThreadCreation(NTSTATUS status, unsigned skip) {
    SystemThreads::Current().FailCreation(status, skip);
}

bool SystemThreadExitStatus(PKTHREAD thread, NTSTATUS* status) {
    return SystemThreads::Current().ExitStatus(thread, status);
}

bool SystemThreadRunsRealTime(PKTHREAD thread) {
    return SystemThreads::Current().RunsRealTime(thread);
}

} // namespace host

using host::ObjectManager;
using host::SystemThreads;

namespace {

[[noreturn]] void RefuseMissing(const char* what) {
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0,
                   0, std::string("PsCreateSystemThread without ") + what);
}

[[noreturn]] void Unsupported(const char* what) {
    std::fprintf(stderr, "host: PsCreateSystemThread %s is not supported\n", what);
    std::abort();
}

} // namespace

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes,
                                               HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                               PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr) {
        RefuseMissing("a place for the thread handle");
    }
    if (StartRoutine == nullptr) {
        RefuseMissing("a start routine");
    }
    ULONG attributes = 0;
    if (ObjectAttributes != nullptr) {
        if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
            (ObjectAttributes->Attributes & ~static_cast<ULONG>(OBJ_VALID_ATTRIBUTES)) != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        if (ObjectAttributes->ObjectName != nullptr || ObjectAttributes->RootDirectory != nullptr) {
            Unsupported("with a name or a root directory");
        }
        attributes = ObjectAttributes->Attributes;
    }
    SystemThreads& threads = SystemThreads::Current();
    ObjectManager& objects = ObjectManager::Current();
    NTSTATUS status = STATUS_SUCCESS;
    if (threads.TakeInjectedFailure(&status)) {
        return status;
    }
    host::Process* process = nullptr;
    if (ProcessHandle != nullptr) {
        PVOID processObject = nullptr;
        status = objects.ReferenceByHandle(ProcessHandle, PROCESS_CREATE_THREAD, *PsProcessType,
                                           KernelMode, &processObject, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        objects.FindProcess(static_cast<PKPROCESS>(processObject), &process);
        objects.Dereference(processObject, "PsCreateSystemThread");
    }

    ULONG_PTR threadId = threads.NewThreadId();
    PKTHREAD thread = host::CreateSystemThreadObject(
        "system thread " + std::to_string(threadId) + " (" +
        // DescribeFrame takes return addresses, which it steps back from by one byte.
        host::DescribeFrame(reinterpret_cast<const char*>(StartRoutine) + 1) + ")");
    threads.BindThreadId(thread, threadId);
    host::Processes& processes = host::Machine::Current().Get<host::Processes>();
    host::Process* caller = host::CurrentProcess();
    bool kernelHandle = (attributes & OBJ_KERNEL_HANDLE) != 0;
    host::HandleTable& table =
        kernelHandle ? processes.KernelHandles() : processes.CurrentHandles();
    if (!kernelHandle && caller != nullptr) {
        threads.Report(
            "PsCreateSystemThread without OBJ_KERNEL_HANDLE in the context of process '" +
            caller->name +
            "': the thread handle went into that process's table, where user mode "
            "can use and close it");
    }
    HANDLE handle =
        objects.Insert(table, std::make_shared<host::ThreadHandleObject>(thread), DesiredAccess);
    try {
        threads.Start(thread, process, StartRoutine, StartContext);
    } catch (const std::system_error&) {
        host::CloseHandleIn(table, handle, kernelHandle ? nullptr : caller);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(
            process != nullptr ? static_cast<ULONG_PTR>(process->id) : host::SystemProcessId);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(threadId);
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    if (host::runningRecord == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    void* returnAddress = __builtin_return_address(0);
    if (host::CalledFromImage(returnAddress)) {
        // The caller's context as it made the call; the host keeps frame pointers, so its RBP
        // was saved just below the return address.
        auto* frame = static_cast<ULONG64*>(__builtin_frame_address(0));
        CONTEXT caller{};
        caller.Rip = reinterpret_cast<ULONG64>(returnAddress);
        caller.Rsp = reinterpret_cast<ULONG64>(frame + 2);
        caller.Rbp = frame[0];
        host::SystemThreads::Record* record = host::runningRecord;
        if (!host::UnwindImageFrames(&caller) ||
            caller.Rbp != reinterpret_cast<ULONG64>(record->routineFrame)) {
            host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1040, ULONG_PTR(ExitStatus), 0, 0,
                           "PsTerminateSystemThread from image code with host frames between it "
                           "and the thread's start routine");
        }
        record->imageExitStatus = ExitStatus;
        longjmp(record->imageExit, 1);
    }
    throw host::ThreadTermination{ExitStatus};
}

extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Thread == nullptr ||
        ObjectManager::Current().TypeOfBody(Thread) != host::ThreadObjectType()) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(Thread),
                       0, 0, "KeSetPriorityThread on something that is not a thread object");
    }
    if (Priority <= LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, reinterpret_cast<ULONG_PTR>(Thread),
                       static_cast<ULONG_PTR>(Priority), 0,
                       "KeSetPriorityThread with priority " + std::to_string(Priority) +
                           ", outside 1..31");
    }
    KPRIORITY previous = host::ThreadPriority(Thread);
    host::SetThreadPriority(Thread, Priority);
    SystemThreads::Current().ApplyPriority(Thread, Priority);
    return previous;
}

extern "C" KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    return host::ThreadPriority(Thread);
}
