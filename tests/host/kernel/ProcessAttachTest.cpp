// Process objects and KeStackAttachProcess: the current process as a driver sees it, attaches
// that nest, and the reason a driver attaches at all: undoing a user mapping of another process.
#include <gtest/gtest.h>

#include <ntifs.h>

#include <vector>

#include "HostTest.h"
#include "kernel/Memory.h"
#include "kernel/Objects.h"
#include "kernel/Process.h"
#include "kernel/SystemThread.h"

namespace {

using host::ProcessScope;

PHYSICAL_ADDRESS Physical(ULONGLONG value) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = LONGLONG(value);
    return address;
}

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

TEST_F(ProcessAttachTest, UserMappingOfOneProcessIsUndoneWhileAttachedFromAnother) {
    PMDL pages = MmAllocatePagesForMdl(Physical(0), Physical(~0ull), Physical(0), 2 * PAGE_SIZE);
    ASSERT_NE(pages, nullptr);
    PVOID view = nullptr;
    PEPROCESS owner = nullptr;
    {
        ProcessScope scope(&first);
        owner = PsGetCurrentProcess();
        view = MmMapLockedPagesSpecifyCache(pages, UserMode, MmCached, nullptr, FALSE,
                                            NormalPagePriority);
        ASSERT_NE(view, nullptr);
    }
    ASSERT_EQ(host::LiveMappings(&first).size(), 1u);
    {
        // The close of the client's file may arrive in another process's context.
        ProcessScope scope(&second);
        EXPECT_DEATH(MmUnmapLockedPages(view, pages), "while running in the context of another");
        KAPC_STATE state;
        KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(owner), &state);
        MmUnmapLockedPages(view, pages);
        KeUnstackDetachProcess(&state);
        EXPECT_EQ(host::CurrentProcess(), &second);
    }
    EXPECT_TRUE(host::LiveMappings(&first).empty());
    MmFreePagesFromMdl(pages);
    ExFreePool(pages);
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
