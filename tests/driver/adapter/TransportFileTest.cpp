// The client's private files: one client per direction, the shared memory mapped into the
// client's process, names that are not transport files, and clients that go away.
#include <gtest/gtest.h>

#include <cstring>

#include "ClientCases.h"
#include "DriverTest.h"
#include "kernel/IoManager.h"
#include "kernel/Memory.h"
#include "kernel/UserEvents.h"

namespace {

// ClientDataAddress is 4-aligned on the wire: read it by value, never bind a reference to it.
unsigned long long Address(unsigned long long value) {
    return value;
}

class TransportFileTest : public DriverTest, public testing::WithParamInterface<ClientCase> {
protected:
    void SetUp() override { LoadAndStart(); }
};

TEST_P(TransportFileTest, OpenMapsBothRegionsIntoTheClientAndCloseUnmapsThem) {
    const ClientCase& file = GetParam();
    host::Process& client = NewProcess(file.is32Bit);
    HANDLE handle = OpenTransport(client, file.render);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    transport::TransportControlBlock* block = ClientControlBlock(client, handle);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->DataBufferBytes, transport::DataBufferSize);
    ASSERT_NE(Address(block->ClientDataAddress), 0u);
    if (file.is32Bit) {
        EXPECT_LT(reinterpret_cast<unsigned long long>(block), 1ull << 32);
        EXPECT_LT(Address(block->ClientDataAddress), 1ull << 32);
    }
    // Zero copy: the client's view and the driver's view are the same pages.
    unsigned char* clientData = reinterpret_cast<unsigned char*>(block->ClientDataAddress);
    const unsigned char* driverData =
        static_cast<const unsigned char*>(Endpoint(file.render).dataBuffer.systemAddress);
    ASSERT_NE(static_cast<const void*>(clientData), static_cast<const void*>(driverData));
    const char pattern[] = "the client's bytes";
    std::memcpy(clientData + transport::DataBufferSize - sizeof(pattern), pattern, sizeof(pattern));
    EXPECT_EQ(std::memcmp(driverData + transport::DataBufferSize - sizeof(pattern), pattern,
                          sizeof(pattern)),
              0);
    // Without a registered event the client is not yet connected.
    EXPECT_EQ(block->ClientConnected, 0u);
    EXPECT_EQ(host::LiveMappings(&client).size(), 2u);

    Close(client, handle);
    EXPECT_EQ(Address(Endpoint(file.render).ControlBlock()->ClientDataAddress), 0u);
    EXPECT_TRUE(host::LiveMappings(&client).empty());
    EXPECT_EQ(Endpoint(file.render).clientFile, nullptr);
}

TEST_P(TransportFileTest, ASecondClientIsBusyAndTheFirstKeepsWorking) {
    const ClientCase& file = GetParam();
    host::Process& first = NewProcess(file.is32Bit, "first");
    host::Process& second = NewProcess(!file.is32Bit, "second");
    HANDLE kept = OpenTransport(first, file.render);
    ASSERT_NE(kept, INVALID_HANDLE_VALUE);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(OpenTransport(second, file.render, &status), INVALID_HANDLE_VALUE);
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);
    EXPECT_TRUE(host::LiveMappings(&second).empty());
    EXPECT_NE(ClientControlBlock(first, kept), nullptr);

    Close(first, kept);
    HANDLE next = OpenTransport(second, file.render);
    EXPECT_NE(next, INVALID_HANDLE_VALUE);
    Close(second, next);
}

TEST_P(TransportFileTest, AFailedUserMappingFailsTheOpenAndLeavesNoClient) {
    const ClientCase& file = GetParam();
    host::Process& client = NewProcess(file.is32Bit);
    struct Case {
        host::MappingFailure how;
        unsigned skip; // 0: the control block's mapping fails, 1: the data buffer's
        NTSTATUS expected;
    };
    for (const Case& row :
         {Case{host::MappingFailure::Raise, 0, STATUS_ACCESS_VIOLATION},
          Case{host::MappingFailure::Raise, 1, STATUS_ACCESS_VIOLATION},
          Case{host::MappingFailure::ReturnNull, 0, STATUS_INSUFFICIENT_RESOURCES},
          Case{host::MappingFailure::ReturnNull, 1, STATUS_INSUFFICIENT_RESOURCES}}) {
        SCOPED_TRACE(testing::Message() << "skip " << row.skip);
        host::FailUserMapping(row.how, STATUS_ACCESS_VIOLATION, row.skip);
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(OpenTransport(client, file.render, &status), INVALID_HANDLE_VALUE);
        EXPECT_EQ(status, row.expected);
        EXPECT_TRUE(host::LiveMappings(&client).empty());
        host::ClearMemoryFaults();
    }
    // No client was left behind: a client that stayed would refuse every later open.
    HANDLE handle = OpenTransport(client, file.render);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    Close(client, handle);
}

INSTANTIATE_TEST_SUITE_P(Directions, TransportFileTest, EveryClientCase(), ClientCaseName);

class TransportNameTest : public DriverTest {
protected:
    void SetUp() override { LoadAndStart(); }
};

TEST_F(TransportNameTest, OnlyTheExactNamesAreTransportFiles) {
    host::Process& client = NewProcess(false);
    for (const char16_t* tail : {u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\render",
                                 u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render2",
                                 u"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Captur", u"\\"}) {
        SCOPED_TRACE(std::string(tail, tail + std::char_traits<char16_t>::length(tail)));
        NTSTATUS status = STATUS_SUCCESS;
        // Not ours: the port-class library answers, and it serves no such name.
        EXPECT_EQ(OpenPath(client, tail, &status), INVALID_HANDLE_VALUE);
        EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    EXPECT_EQ(Endpoint(true).clientFile, nullptr);
    EXPECT_EQ(Endpoint(false).clientFile, nullptr);
    EXPECT_EQ(Adapter()->clientFileList.count, 0u);
}

} // namespace

namespace {

class CleanedUpFileTest : public DriverTest {
protected:
    void SetUp() override { LoadAndStart(); }
};

// A request can reach the file after its cleanup (it was on its way, or a kernel component holds
// the file): the client is gone by then, so it finds the file closed and registers nothing.
TEST_F(CleanedUpFileTest, ARequestAfterTheCleanupFindsTheFileClosed) {
    host::Process& client = NewProcess(false);
    HANDLE handle = OpenTransport(client, true);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    host::ProcessScope scope(&client);
    PVOID file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr),
              STATUS_SUCCESS);
    HANDLE event = host::user::CreateEvent(false, false);
    Close(client, handle);
    EXPECT_TRUE(host::LiveMappings(&client).empty()); // released at the cleanup

    unsigned char input[transport::SetEventInputBytes64] = {1};
    std::memcpy(input + transport::SetEventHandleOffset, &event, sizeof(event));
    host::IoManager& io = machine.Get<host::IoManager>();
    auto* fileObject = static_cast<PFILE_OBJECT>(file);
    PDEVICE_OBJECT device = host::IoManager::TopOfStack(fileObject->DeviceObject);
    PIRP irp = io.AllocateIrp(device->StackSize, &client);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location->FileObject = fileObject;
    location->Parameters.DeviceIoControl.IoControlCode = transport::IoctlSetEvent;
    location->Parameters.DeviceIoControl.InputBufferLength = sizeof(input);
    irp->AssociatedIrp.SystemBuffer = input;
    EXPECT_EQ(io.Send(device, irp), STATUS_FILE_CLOSED);
    io.FreeIrp(irp);
    EXPECT_EQ(Endpoint(true).clientEvent, nullptr);
    ObDereferenceObject(file);
    EXPECT_TRUE(host::user::CloseHandle(event));
}

} // namespace
