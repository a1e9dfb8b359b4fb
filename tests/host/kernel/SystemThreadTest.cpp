// System threads as a driver uses them: created with a kernel handle, referenced, waited for,
// ended by returning or by PsTerminateSystemThread, and what the verifier says about them.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <atomic>
#include <string>
#include <vector>

#include "HostTest.h"
#include "SyncTestSupport.h"
#include "kernel/Objects.h"
#include "kernel/Process.h"
#include "kernel/SystemThread.h"
#include "kernel/Thread.h"

namespace {

using host::ProcessScope;

// What a start routine saw, written by the system thread and read after waiting for it.
struct Observed {
    KIRQL irql = HIGH_LEVEL;
    PEPROCESS process = nullptr;
    PKTHREAD thread = nullptr;
    HANDLE threadId = nullptr;
    bool ranPastTerminate = false;
    NTSTATUS terminateStatus = STATUS_SUCCESS;
    PKEVENT release = nullptr;
};

VOID NTAPI Observe(PVOID context) {
    auto* seen = static_cast<Observed*>(context);
    seen->irql = KeGetCurrentIrql();
    seen->process = PsGetCurrentProcess();
    seen->thread = KeGetCurrentThread();
    seen->threadId = PsGetCurrentThreadId();
}

void TerminateFromDeepInside(Observed* seen, int depth) {
    if (depth > 0) {
        TerminateFromDeepInside(seen, depth - 1);
        return;
    }
    seen->terminateStatus = PsTerminateSystemThread(static_cast<NTSTATUS>(0x40001234));
    seen->ranPastTerminate = true;
}

VOID NTAPI Terminate(PVOID context) {
    auto* seen = static_cast<Observed*>(context);
    seen->thread = KeGetCurrentThread();
    TerminateFromDeepInside(seen, 3);
    seen->ranPastTerminate = true;
}

} // namespace

// Outside the anonymous namespace so that the program exports its name.
namespace systemthreadtest {
VOID NTAPI WaitForRelease(PVOID context) {
    auto* seen = static_cast<Observed*>(context);
    KeWaitForSingleObject(seen->release, Executive, KernelMode, FALSE, nullptr);
}
} // namespace systemthreadtest

namespace {
using systemthreadtest::WaitForRelease;

class SystemThreadTest : public HostTest {
protected:
    // Creates a thread with a kernel handle and references its object as a driver does.
    HANDLE Create(PKSTART_ROUTINE routine, PVOID context, PKTHREAD* object,
                  PCLIENT_ID clientId = nullptr) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE handle = nullptr;
        EXPECT_EQ(
            PsCreateSystemThread(&handle, 0, &attributes, nullptr, clientId, routine, context),
            STATUS_SUCCESS);
        PVOID referenced = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                            &referenced, nullptr),
                  STATUS_SUCCESS);
        *object = static_cast<PKTHREAD>(referenced);
        return handle;
    }

    void WaitAndRelease(HANDLE handle, PKTHREAD object) {
        EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }

    host::Processes& processes = machine.Get<host::Processes>();
};

TEST_F(SystemThreadTest, ReturningThreadRanAtPassiveInTheSystemProcess) {
    host::Process& client = processes.Create("client", false);
    Observed seen;
    PKTHREAD object = nullptr;
    CLIENT_ID clientId{};
    HANDLE handle = nullptr;
    {
        // Created from a client's request, the thread still belongs to the system process.
        ProcessScope scope(&client);
        handle = Create(Observe, &seen, &object, &clientId);
    }
    EXPECT_NE(reinterpret_cast<ULONG_PTR>(handle) & 0x8000000000000000ull, 0u);
    WaitAndRelease(handle, object);

    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.process, host::ProcessObjectOf(nullptr));
    EXPECT_EQ(seen.thread, object);
    EXPECT_NE(seen.thread, KeGetCurrentThread());
    EXPECT_TRUE(host::IsSystemThread(object));
    EXPECT_EQ(clientId.UniqueProcess, reinterpret_cast<HANDLE>(host::SystemProcessId));
    EXPECT_EQ(clientId.UniqueThread, seen.threadId);
    NTSTATUS exitStatus = STATUS_PENDING;
    EXPECT_TRUE(host::SystemThreadExitStatus(object, &exitStatus));
    EXPECT_EQ(exitStatus, STATUS_SUCCESS);
}

TEST_F(SystemThreadTest, TerminateEndsTheThreadWithoutReturning) {
    Observed seen;
    PKTHREAD object = nullptr;
    HANDLE handle = Create(Terminate, &seen, &object);
    // The handle can be waited on as well as the object.
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
    WaitAndRelease(handle, object);
    EXPECT_FALSE(seen.ranPastTerminate);
    NTSTATUS exitStatus = STATUS_PENDING;
    EXPECT_TRUE(host::SystemThreadExitStatus(object, &exitStatus));
    EXPECT_EQ(exitStatus, static_cast<NTSTATUS>(0x40001234));
}

TEST_F(SystemThreadTest, TerminateOutsideASystemThreadAndBadPrioritiesAreRefused) {
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
    EXPECT_DEATH(KeSetPriorityThread(KeGetCurrentThread(), 32),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*priority 32");
}

TEST_F(SystemThreadTest, HandleGoesWhereTheAttributesSay) {
    host::Process& client = processes.Create("client", false);
    struct Case {
        const char* name;
        bool withAttributes;
        ULONG attributes;
        ULONG length;
        bool inClient;
        NTSTATUS expected;
        bool kernelHandle;
        bool finding;
    };
    const Case cases[] = {
        {"kernel handle from a client", true, OBJ_KERNEL_HANDLE, sizeof(OBJECT_ATTRIBUTES), true,
         STATUS_SUCCESS, true, false},
        {"no attributes in the system process", false, 0, 0, false, STATUS_SUCCESS, true, false},
        {"no kernel flag in a client", true, 0, sizeof(OBJECT_ATTRIBUTES), true, STATUS_SUCCESS,
         false, true},
        {"unknown attribute", true, OBJ_KERNEL_HANDLE | 0x4000, sizeof(OBJECT_ATTRIBUTES), false,
         STATUS_INVALID_PARAMETER, false, false},
        {"wrong length", true, OBJ_KERNEL_HANDLE, sizeof(OBJECT_ATTRIBUTES) - 8, false,
         STATUS_INVALID_PARAMETER, false, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, test.attributes, nullptr, nullptr);
        attributes.Length = test.length;
        Observed seen;
        HANDLE handle = nullptr;
        ProcessScope scope(test.inClient ? &client : nullptr);
        size_t kernelBefore = processes.KernelHandles().Count();
        size_t clientBefore = client.Handles().Count();
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS,
                                       test.withAttributes ? &attributes : nullptr, nullptr,
                                       nullptr, Observe, &seen),
                  test.expected);
        if (test.expected != STATUS_SUCCESS) {
            EXPECT_EQ(processes.KernelHandles().Count(), kernelBefore);
            continue;
        }
        EXPECT_EQ(processes.KernelHandles().Count(), kernelBefore + (test.kernelHandle ? 1 : 0));
        EXPECT_EQ(client.Handles().Count(), clientBefore + (test.kernelHandle ? 0 : 1));
        EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        bool reported = false;
        for (const std::string& finding : host::SystemThreads::Current().TakeFindings()) {
            reported = reported || finding.find("without OBJ_KERNEL_HANDLE") != std::string::npos;
        }
        EXPECT_EQ(reported, test.finding);
    }
}

TEST_F(SystemThreadTest, InjectedCreationFailureCreatesNothing) {
    host::FailSystemThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    Observed seen;
    HANDLE handle = reinterpret_cast<HANDLE>(0x1);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, Observe, &seen),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(processes.KernelHandles().Count(), 0u);
    EXPECT_EQ(seen.thread, nullptr);
}

TEST_F(SystemThreadTest, VerifierReportsARunningThreadAndAnOpenHandle) {
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    Observed seen;
    seen.release = &release;
    PKTHREAD object = nullptr;
    HANDLE handle = Create(WaitForRelease, &seen, &object);
    synctest::AwaitWaiters(&release, 1);

    std::vector<std::string> problems = machine.Verify();
    auto mentions = [&problems](const std::string& text) {
        for (const std::string& problem : problems) {
            if (problem.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(mentions("' is still running"));
    // The thread is named after its start routine.
    EXPECT_TRUE(mentions("WaitForRelease"));
    EXPECT_TRUE(mentions("kernel handle left open"));
    EXPECT_TRUE(mentions("reference still held on Thread"));

    KeSetEvent(&release, 0, FALSE);
    WaitAndRelease(handle, object);
}

} // namespace
