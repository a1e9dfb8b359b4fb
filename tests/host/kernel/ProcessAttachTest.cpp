// Process objects and KeStackAttachProcess: the current process as a driver sees it, attaches
// that nest and unwind in order, and a thread that ends attached.
#include <gtest/gtest.h>

#include <ntifs.h>

#include <vector>

#include "HostTest.h"
#include "kernel/Objects.h"
#include "kernel/Process.h"
#include "kernel/SystemThread.h"

namespace {

class ProcessAttachTest : public HostTest {
protected:
    host::Processes& processes = machine.Get<host::Processes>();
    host::Process& first = processes.Create("first", false);
    host::Process& second = processes.Create("second", true);
};

TEST_F(ProcessAttachTest, AttachesNestAndUnwindInOrder) {
    PRKPROCESS firstObject = reinterpret_cast<PRKPROCESS>(host::ProcessObjectOf(&first));
    PRKPROCESS secondObject = reinterpret_cast<PRKPROCESS>(host::ProcessObjectOf(&second));
    KAPC_STATE outer;
    KAPC_STATE inner;
    KeStackAttachProcess(firstObject, &outer);
    EXPECT_EQ(host::CurrentProcess(), &first);
    KeStackAttachProcess(secondObject, &inner);
    EXPECT_EQ(host::CurrentProcess(), &second);
    EXPECT_EQ(reinterpret_cast<PRKPROCESS>(PsGetCurrentProcess()), secondObject);
    EXPECT_EQ(inner.Process, firstObject);
    EXPECT_DEATH(KeUnstackDetachProcess(&outer),
                 "INVALID_PROCESS_DETACH_ATTEMPT.*another state than the last");
    KeUnstackDetachProcess(&inner);
    EXPECT_EQ(host::CurrentProcess(), &first);
    KeUnstackDetachProcess(&outer);
    EXPECT_EQ(host::CurrentProcess(), nullptr);
    EXPECT_DEATH(KeUnstackDetachProcess(&outer), "INVALID_PROCESS_DETACH_ATTEMPT.*not attached");
    KEVENT notAProcess;
    KeInitializeEvent(&notAProcess, NotificationEvent, FALSE);
    EXPECT_DEATH(KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(&notAProcess), &outer),
                 "INVALID_PROCESS_ATTACH_ATTEMPT");
}

struct AttachContext {
    PRKPROCESS target;
    KAPC_STATE state;
    host::Process* seen = nullptr;
};

VOID NTAPI AttachAndForget(PVOID context) {
    auto* attach = static_cast<AttachContext*>(context);
    KeStackAttachProcess(attach->target, &attach->state);
    attach->seen = host::CurrentProcess();
}

TEST_F(ProcessAttachTest, ThreadEndingAttachedIsReported) {
    AttachContext context{reinterpret_cast<PRKPROCESS>(host::ProcessObjectOf(&first)), {}};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, AttachAndForget, &context),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(context.seen, &first);
    std::vector<std::string> findings = host::SystemThreads::Current().TakeFindings();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("ended attached to another process"), std::string::npos);
}

} // namespace
