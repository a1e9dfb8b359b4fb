// The I/O manager's rules for IRPs and device interfaces: completion exactly once, what a
// dispatch routine must have done when it returns, pending requests, and interface links.
#include <thread>

#include <gtest/gtest.h>

#include "EchoDriver.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/UserMode.h"

namespace {

using echo::EchoTest;
using host::ProcessScope;
namespace user = host::user;

// Runs one control request from the 64-bit client and returns the verifier's new findings.
std::vector<std::string> ControlFindings(host::Machine& machine, HANDLE handle, ULONG code,
                                         ULONG outputLength, NTSTATUS* status) {
    unsigned char output[64] = {};
    ULONG returned = 0;
    user::DeviceIoControl(handle, code, nullptr, 0, output, outputLength, &returned, status);
    return machine.Get<host::IoManager>().TakeFindings();
}

TEST_F(EchoTest, VerifierCatchesDispatchRoutinesThatBreakTheCompletionRules) {
    struct Case {
        ULONG code;
        const char* finding;
    };
    const Case cases[] = {
        {echo::IoctlForgetToComplete,
         "IRP_MJ_DEVICE_CONTROL dispatch routine returned 0x00000000 without completing the IRP"},
        {echo::IoctlReturnOtherStatus, "IRP_MJ_DEVICE_CONTROL dispatch routine returned "
                                       "0xC0000001 but completed the IRP with 0x00000000"},
        {echo::IoctlOverReport, "completed with Information 24, more than the caller's output "
                                "buffer of 8 bytes"},
    };
    ProcessScope scope(client64);
    HANDLE handle = user::CreateFile(Path());
    for (const Case& item : cases) {
        NTSTATUS status = STATUS_PENDING;
        std::vector<std::string> findings = ControlFindings(machine, handle, item.code, 8, &status);
        ASSERT_EQ(findings.size(), 1u) << item.finding;
        EXPECT_NE(findings[0].find(item.finding), std::string::npos) << findings[0];
    }
    user::CloseHandle(handle);
}

using EchoDeathTest = EchoTest;

TEST_F(EchoDeathTest, CompletingTwiceIsABugCheck) {
    EXPECT_DEATH(
        {
            ProcessScope scope(client64);
            HANDLE handle = user::CreateFile(Path());
            user::DeviceIoControl(handle, echo::IoctlCompleteTwice, nullptr, 0, nullptr, 0,
                                  nullptr);
        },
        "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(EchoTest, PendingRequestFinishesWhenCompletedFromAnotherThread) {
    ProcessScope scope(client32);
    HANDLE handle = user::CreateFile(Path());
    std::thread completer([this] {
        // The request is handed over only through the driver's state; wait for it to appear.
        while (__atomic_load_n(&driverState.pendingIrp, __ATOMIC_ACQUIRE) == nullptr) {
            std::this_thread::yield();
        }
        PIRP irp = driverState.pendingIrp;
        static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer)[0] = 0x5A;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 1;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    unsigned char output[2] = {0, 0};
    ULONG returned = 0;
    NTSTATUS status = STATUS_PENDING;
    EXPECT_TRUE(user::DeviceIoControl(handle, echo::IoctlPend, nullptr, 0, output, sizeof output,
                                      &returned, &status));
    completer.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(output[0], 0x5A);
    EXPECT_EQ(output[1], 0);
    user::CloseHandle(handle);
}

// ---- Device interfaces ----

class InterfaceTest : public HostTest {
protected:
    PDEVICE_OBJECT physical = machine.Get<host::IoManager>().CreateRootDevice(u"MEDIA");

    void TearDown() override {
        machine.Get<host::IoManager>().DeleteDevice(physical);
        HostTest::TearDown();
    }
};

TEST_F(InterfaceTest, LinksHaveTheWindowsShape) {
    struct Case {
        const wchar_t* reference; // null: none
        const char* link;
    };
    const Case cases[] = {
        {nullptr, "\\??\\ROOT#MEDIA#0000#{acc2f77f-7e94-4cfd-a594-cfb76b622885}"},
        {L"wave_r", "\\??\\ROOT#MEDIA#0000#{acc2f77f-7e94-4cfd-a594-cfb76b622885}\\wave_r"},
    };
    for (const Case& item : cases) {
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, item.reference);
        UNICODE_STRING link{};
        ASSERT_EQ(IoRegisterDeviceInterface(physical, &echo::InterfaceClass,
                                            item.reference != nullptr ? &reference : nullptr,
                                            &link),
                  STATUS_SUCCESS);
        EXPECT_EQ(host::ToUtf8(host::FromUnicodeString(&link)), item.link);
        EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
        EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], 0);
        RtlFreeUnicodeString(&link);
        EXPECT_EQ(link.Buffer, nullptr);
    }
}

TEST_F(InterfaceTest, EachRootDeviceHasItsOwnInstanceNumber) {
    PDEVICE_OBJECT second = machine.Get<host::IoManager>().CreateRootDevice(u"MEDIA");
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(second, &echo::InterfaceClass, nullptr, &link),
              STATUS_SUCCESS);
    EXPECT_EQ(host::ToUtf8(host::FromUnicodeString(&link)),
              "\\??\\ROOT#MEDIA#0001#{acc2f77f-7e94-4cfd-a594-cfb76b622885}");
    RtlFreeUnicodeString(&link);
    machine.Get<host::IoManager>().DeleteDevice(second);
}

TEST_F(InterfaceTest, OnlyAPhysicalDeviceCanRegister) {
    PDEVICE_OBJECT functional = nullptr;
    PDRIVER_OBJECT driver = machine.Get<host::IoManager>().CreateDriverObject(u"\\Driver\\f");
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &functional),
              STATUS_SUCCESS);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(functional, &echo::InterfaceClass, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(link.Buffer, nullptr);
    IoDeleteDevice(functional);
    machine.Get<host::IoManager>().DeleteDriverObject(driver);
}

TEST_F(InterfaceTest, StateChangesFollowTheLink) {
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(physical, &echo::InterfaceClass, nullptr, &link),
              STATUS_SUCCESS);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\ROOT#MEDIA#0009#{acc2f77f-7e94-4cfd-a594-cfb76b622885}");
    struct Step {
        PUNICODE_STRING link;
        BOOLEAN enable;
        NTSTATUS status;
        bool enabledAfter;
    };
    const Step steps[] = {
        {&unknown, TRUE, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {&link, FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {&link, TRUE, STATUS_SUCCESS, true},
        {&link, TRUE, STATUS_OBJECT_NAME_EXISTS, true},
        {&link, FALSE, STATUS_SUCCESS, false},
    };
    auto& interfaces = machine.Get<host::DeviceInterfaces>();
    for (const Step& step : steps) {
        EXPECT_EQ(IoSetDeviceInterfaceState(step.link, step.enable), step.status);
        EXPECT_EQ(interfaces.IsEnabled(host::FromUnicodeString(&link)), step.enabledAfter);
    }
    RtlFreeUnicodeString(&link);
}

} // namespace
