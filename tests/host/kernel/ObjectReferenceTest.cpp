// The object manager as a driver meets it: what ObReferenceObjectByHandle answers for each kind of
// wrong handle, how long a referenced object lives, and what the verifier says about references.
#include <gtest/gtest.h>

#include <ntddk.h>

#include <functional>
#include <string>

#include "EchoDriver.h"
#include "HostTest.h"
#include "kernel/Objects.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace {

using host::ProcessScope;

VOID NTAPI ReturnAtOnce(PVOID) {}

class ObjectReferenceTest : public HostTest {
protected:
    host::Processes& processes = machine.Get<host::Processes>();
    host::Process& client = processes.Create("client", false);
    host::Process& other = processes.Create("other", false);
};

bool HasProblemContaining(const std::vector<std::string>& problems, const std::string& text) {
    for (const std::string& problem : problems) {
        if (problem.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(ObjectReferenceTest, LookupStatusesFollowWindows) {
    HANDLE fullEvent = nullptr;
    HANDLE executeOnlyEvent = nullptr;
    HANDLE closedEvent = nullptr;
    // Handle values repeat across processes; the fifth handle of the other process names nothing
    // in the client, which holds three.
    std::vector<HANDLE> otherEvents;
    {
        ProcessScope scope(&other);
        for (int i = 0; i < 5; ++i) {
            otherEvents.push_back(host::user::CreateEvent(true, false));
        }
    }
    HANDLE otherProcessEvent = otherEvents.back();
    {
        ProcessScope scope(&client);
        fullEvent = host::user::CreateEvent(true, false);
        executeOnlyEvent = host::user::CreateEvent(true, false, GENERIC_EXECUTE);
        closedEvent = host::user::CreateEvent(true, false);
        ASSERT_TRUE(host::user::CloseHandle(closedEvent));
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE kernelThread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&kernelThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   ReturnAtOnce, nullptr),
              STATUS_SUCCESS);
    auto truncated = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(fullEvent) & 0xFFFFFFFF);

    struct Case {
        const char* name;
        HANDLE handle;
        ACCESS_MASK access;
        POBJECT_TYPE type;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"null handle", nullptr, 0, nullptr, KernelMode, STATUS_INVALID_HANDLE},
        {"closed", closedEvent, 0, *ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
        {"cut to 32 bits", truncated, 0, *ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
        {"another process's", otherProcessEvent, 0, *ExEventObjectType, KernelMode,
         STATUS_INVALID_HANDLE},
        {"event as a thread", fullEvent, 0, *PsThreadType, UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"type checked before access", executeOnlyEvent, EVENT_MODIFY_STATE, *PsThreadType,
         UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"missing right, user mode", executeOnlyEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         UserMode, STATUS_ACCESS_DENIED},
        {"generic right granted", executeOnlyEvent, GENERIC_EXECUTE, *ExEventObjectType, UserMode,
         STATUS_SUCCESS},
        {"kernel mode skips access", executeOnlyEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
         KernelMode, STATUS_SUCCESS},
        {"kernel handle from user mode", kernelThread, SYNCHRONIZE, *PsThreadType, UserMode,
         STATUS_INVALID_HANDLE},
        {"kernel handle from kernel mode", kernelThread, SYNCHRONIZE, *PsThreadType, KernelMode,
         STATUS_SUCCESS},
        {"current process", NtCurrentProcess(), PROCESS_ALL_ACCESS, *PsProcessType, UserMode,
         STATUS_SUCCESS},
    };
    ProcessScope scope(&client);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        PVOID object = reinterpret_cast<PVOID>(0x1);
        OBJECT_HANDLE_INFORMATION information{};
        EXPECT_EQ(ObReferenceObjectByHandle(test.handle, test.access, test.type, test.mode, &object,
                                            &information),
                  test.expected);
        if (test.expected != STATUS_SUCCESS) {
            EXPECT_EQ(object, nullptr);
            continue;
        }
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(host::ObjectReferenceCount(object), 1);
        EXPECT_EQ(ObDereferenceObject(object), 0);
    }

    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(kernelThread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(kernelThread), STATUS_SUCCESS);
    {
        ProcessScope otherScope(&other);
        for (HANDLE event : otherEvents) {
            EXPECT_TRUE(host::user::CloseHandle(event));
        }
    }
    EXPECT_TRUE(host::user::CloseHandle(fullEvent));
    EXPECT_TRUE(host::user::CloseHandle(executeOnlyEvent));
}

TEST_F(ObjectReferenceTest, VerifierReportsReferencesStillHeld) {
    PVOID object = nullptr;
    {
        ProcessScope scope(&client);
        HANDLE event = host::user::CreateEvent(false, false);
        ASSERT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            &object, nullptr),
                  STATUS_SUCCESS);
        host::user::CloseHandle(event);
    }
    PVOID process = PsGetCurrentProcess();
    ObReferenceObject(process);
    std::vector<std::string> problems = machine.Verify();
    EXPECT_TRUE(HasProblemContaining(problems, "1 reference still held on Event (auto reset)"));
    EXPECT_TRUE(HasProblemContaining(problems, "1 reference still held on Process 'System'"));
    ObDereferenceObject(object);
    ObDereferenceObject(process);
}

TEST_F(ObjectReferenceTest, ReferenceRefusalsBugCheck) {
    KEVENT stackEvent;
    KeInitializeEvent(&stackEvent, NotificationEvent, FALSE);
    EXPECT_DEATH(ObReferenceObject(&stackEvent),
                 "REFERENCE_BY_POINTER.*not an object the host knows");
    PVOID thread = KeGetCurrentThread();
    EXPECT_DEATH(ObDereferenceObject(thread), "REFERENCE_BY_POINTER.*holds no reference");
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0xffffffff80000fa0ull)),
                 "INVALID_KERNEL_HANDLE.*not open in the kernel's handle table");
}

// A file's close request waits for the last reference, as the I/O manager's own references make
// it do on Windows.
using FileReferenceTest = echo::EchoTest;

TEST_F(FileReferenceTest, CloseWaitsForTheLastReference) {
    ProcessScope scope(client64);
    HANDLE file = host::user::CreateFile(Path(u"\\Render"));
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(file, 0, *IoFileObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PFILE_OBJECT>(object)->Type, IO_TYPE_FILE);
    ObReferenceObject(object); // a reference by pointer holds the close back as well
    ASSERT_TRUE(host::user::CloseHandle(file));
    ASSERT_FALSE(driverState.log.empty());
    EXPECT_EQ(driverState.log.back().rfind("cleanup", 0), 0u);
    ObDereferenceObject(object);
    EXPECT_EQ(driverState.log.back().rfind("cleanup", 0), 0u);
    ObDereferenceObject(object);
    EXPECT_EQ(driverState.log.back().rfind("close", 0), 0u);
}

} // namespace
