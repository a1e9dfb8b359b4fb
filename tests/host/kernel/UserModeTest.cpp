// User-mode file calls against the echo driver: names, buffered copies in both directions from
// 64-bit and 32-bit processes, handle tables and process exit.
#include <cstring>

#include <gtest/gtest.h>

#include "EchoDriver.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/UserMode.h"

namespace {

using echo::EchoTest;
using host::ProcessScope;
namespace user = host::user;

const std::u16string Render = u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render";

TEST_F(EchoTest, CreateHandsTheDriverThePathAfterTheLink) {
    struct Case {
        std::u16string path;
        NTSTATUS status;
        const char* seen; // what the driver logs, or null when the create never reaches it
    };
    const std::u16string kernelForm = u"\\??\\" + interfacePath.substr(4);
    std::u16string lowerCase = interfacePath;
    for (char16_t& c : lowerCase) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + 0x20);
        }
    }
    const Case cases[] = {
        {Path(Render), STATUS_SUCCESS, "create \\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render"},
        {kernelForm + Render, STATUS_SUCCESS,
         "create \\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render"},
        {lowerCase + u"\\Capture", STATUS_SUCCESS, "create \\Capture"},
        // The link must end at a path separator.
        {Path(u"x\\Render"), STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {u"\\\\?\\ROOT#MEDIA#0001#{acc2f77f-7e94-4cfd-a594-cfb76b622885}",
         STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    };
    ProcessScope scope(client64);
    for (const Case& item : cases) {
        SCOPED_TRACE(host::ToUtf8(item.path));
        driverState.log.clear();
        HANDLE handle = user::CreateFile(item.path);
        EXPECT_EQ(user::LastStatus(), item.status);
        if (item.seen == nullptr) {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(driverState.log.empty());
            continue;
        }
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        ASSERT_FALSE(driverState.log.empty());
        EXPECT_EQ(driverState.log[0], item.seen);
        EXPECT_TRUE(user::CloseHandle(handle));
    }
}

TEST_F(EchoTest, FailedCreateGetsNoCleanupOrClose) {
    ProcessScope scope(client64);
    driverState.createStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(user::CreateFile(Path(Render)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(user::LastStatus(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driverState.log, std::vector<std::string>{"create " + host::ToUtf8(Render)});
}

// Input goes in through a system buffer of max(input, output) bytes; exactly Information bytes
// come back, and the caller's buffer past them is untouched.
TEST_F(EchoTest, BufferedControlCopiesInAndOutFromBothProcessKinds) {
    struct Case {
        ULONG input;
        ULONG output;
    };
    const Case cases[] = {{3, 16}, {16, 5}, {0, 4}, {0, 0}};
    for (host::Process* process : {client64, client32}) {
        ProcessScope scope(process);
        HANDLE handle = user::CreateFile(Path(Render));
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        for (const Case& item : cases) {
            SCOPED_TRACE(process->name + " in " + std::to_string(item.input) + " out " +
                         std::to_string(item.output));
            unsigned char input[32];
            unsigned char output[32];
            for (unsigned i = 0; i < sizeof input; ++i) {
                input[i] = static_cast<unsigned char>(i + 1);
            }
            std::memset(output, 0x77, sizeof output);
            ULONG returned = 12345;
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            driverState.controls.clear();
            EXPECT_TRUE(user::DeviceIoControl(handle, echo::IoctlEcho, input, item.input, output,
                                              item.output, &returned, &status));
            EXPECT_EQ(status, STATUS_SUCCESS);
            const ULONG count = std::min(item.input, item.output);
            EXPECT_EQ(returned, count);
            for (ULONG i = 0; i < count; ++i) {
                EXPECT_EQ(output[i], input[count - 1 - i]) << "byte " << i;
            }
            for (ULONG i = count; i < sizeof output; ++i) {
                EXPECT_EQ(output[i], 0x77) << "byte " << i << " past what the driver returned";
            }
            ASSERT_EQ(driverState.controls.size(), 1u);
            const echo::ControlSeen& seen = driverState.controls[0];
            EXPECT_EQ(seen.inputLength, item.input);
            EXPECT_EQ(seen.outputLength, item.output);
            EXPECT_EQ(seen.systemBufferNull, item.input == 0 && item.output == 0);
            EXPECT_EQ(seen.from32BitProcess, process->is32Bit);
        }
        EXPECT_TRUE(user::CloseHandle(handle));
    }
}

TEST_F(EchoTest, ErrorStatusCopiesNothingBack) {
    ProcessScope scope(client32);
    HANDLE handle = user::CreateFile(Path(Render));
    unsigned char output[4] = {1, 2, 3, 4};
    ULONG returned = 99;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(user::DeviceIoControl(handle, echo::IoctlFail, nullptr, 0, output, sizeof output,
                                       &returned, &status));
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(user::LastStatus(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(output[0], 1);
    user::CloseHandle(handle);
}

TEST_F(EchoTest, ProcessExitClosesItsHandlesInItsContext) {
    host::Process& doomed = machine.Get<host::Processes>().Create("doomed", true);
    {
        ProcessScope scope(&doomed);
        ASSERT_NE(user::CreateFile(Path(Render)), INVALID_HANDLE_VALUE);
        ASSERT_NE(user::CreateFile(Path(u"\\Capture")), INVALID_HANDLE_VALUE);
    }
    driverState.log.clear();
    machine.Get<host::Processes>().Exit(doomed);
    EXPECT_EQ(driverState.log,
              (std::vector<std::string>{"cleanup 1 in doomed", "close 1 in doomed",
                                        "cleanup 2 in doomed", "close 2 in doomed"}));
    EXPECT_FALSE(doomed.IsAlive());
}

// Only handle findings count here: the loaded driver's link string is a live pool block too.
std::vector<std::string> HandleFindings(host::Machine& machine) {
    std::vector<std::string> handles;
    for (const std::string& problem : machine.Verify()) {
        if (problem.find("handle") != std::string::npos) {
            handles.push_back(problem);
        }
    }
    return handles;
}

TEST_F(EchoTest, VerifierReportsHandlesLeftOpenInALiveProcess) {
    ProcessScope scope(client32);
    HANDLE handle = user::CreateFile(Path(Render));
    std::vector<std::string> problems = HandleFindings(machine);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("handle left open in process client32"), std::string::npos)
        << problems[0];
    user::CloseHandle(handle);
    EXPECT_TRUE(HandleFindings(machine).empty());
}

TEST_F(EchoTest, UnloadIsRefusedWhileAFileIsOpen) {
    HANDLE handle = nullptr;
    {
        ProcessScope scope(client64);
        handle = user::CreateFile(Path(Render));
    }
    std::vector<std::string> problems = pnp->Unload(*driver);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("unload refused"), std::string::npos);
    ProcessScope scope(client64);
    user::CloseHandle(handle);
}

} // namespace
