// What any program can send on a transport file, and opens at the wrong time, by the wrong name
// or from a process that cannot reach the views. Each case ends with the verifier clean.
#include <gtest/gtest.h>

#include "HostileRig.h"
#include "KsTestRequests.h"
#include "kernel/Memory.h"
#include "kernel/UserMode.h"
#include "portcls/PortClass.h"

namespace {

namespace user = host::user;

// Parameter: the client's file is the Render file (else the Capture file).
class HostileRequestTest : public HostileTest, public testing::WithParamInterface<bool> {
protected:
    bool Render() const { return GetParam(); }
};

TEST_P(HostileRequestTest, EveryOtherRequestKindOnATransportFileIsRefused) {
    LoadAndStart();
    RawClient& client = NewClient(Render());
    ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
    unsigned char buffer[64] = {};
    const HANDLE file = client.file;
    const std::u16string name = TransportFileName(Render());
    const std::pair<const char*, std::function<NTSTATUS()>> requests[] = {
        {"read", [&] { return user::ReadFile(file, buffer, 0); }},
        {"write", [&] { return user::WriteFile(file, buffer, 0); }},
        {"flush", [&] { return user::FlushFileBuffers(file); }},
        {"query information",
         [&] {
             return user::QueryInformationFile(file, buffer, sizeof(buffer),
                                               FileStandardInformation);
         }},
        {"set information",
         [&] { return user::SetInformationFile(file, buffer, 1, FileDispositionInformation); }},
        {"query security",
         [&] {
             return user::QuerySecurityObject(file, DACL_SECURITY_INFORMATION, buffer,
                                              sizeof(buffer));
         }},
        {"set security",
         [&] { return user::SetSecurityObject(file, DACL_SECURITY_INFORMATION, buffer); }},
        {"a create under it, of its own name",
         [&] {
             return user::CreateFileRelative(file, name) == INVALID_HANDLE_VALUE
                        ? user::LastStatus()
                        : STATUS_SUCCESS;
         }},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.first);
        host::ProcessScope scope(&client.process);
        EXPECT_EQ(request.second(), STATUS_INVALID_DEVICE_REQUEST);
    }
    // Nothing of the client changed.
    EXPECT_EQ(client.Tick(), STATUS_SUCCESS);
    EXPECT_EQ(client.Read(client.block->ClientConnected), 1u);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    ExpectReusable(Render());
}

TEST_P(HostileRequestTest, ARelativeCreateOfATransportNameIsNoTransportOpen) {
    LoadAndStart();
    host::Process& engine = NewProcess(false, "engine");
    host::ProcessScope scope(&engine);
    HANDLE filter = user::CreateFile(FilterPath(Render() ? u"wave_c" : u"wave_r"));
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    // Under a filter the name is the filter's to judge: it has no such object.
    EXPECT_EQ(user::CreateFileRelative(filter, TransportFileName(Render())), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(host::LiveMappings(&engine).empty());
    EXPECT_TRUE(user::CloseHandle(filter));
    ExpectReusable(Render());
}

TEST_P(HostileRequestTest, OpensRacingTheStartAreRefusedUntilItHasSucceeded) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    RawClient& client = NewClient(Render());
    // By the device's own name a program reaches the device before any interface is enabled.
    const std::u16string path = DevicePath(Render());
    EXPECT_EQ(client.Open(path), STATUS_DEVICE_NOT_READY);
    std::atomic<bool> startFailed{false};
    std::thread racer([&] {
        NTSTATUS status;
        do {
            status = client.Open(path);
        } while (status == STATUS_DEVICE_NOT_READY && !startFailed.load());
        EXPECT_EQ(status, STATUS_SUCCESS);
    });
    const NTSTATUS started = Start();
    startFailed = started != STATUS_SUCCESS;
    racer.join();
    ASSERT_EQ(started, STATUS_SUCCESS);
    // The file opened by name is a whole client.
    unsigned long long address = 0;
    transport::GetControlBlockInput get = {transport::ProtocolVersion};
    EXPECT_EQ(client.Control(transport::IoctlGetControlBlock, &get, sizeof(get), &address,
                             sizeof(address)),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<transport::TransportControlBlock*>(address)->DataBufferBytes,
              transport::DataBufferSize);
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

TEST_P(HostileRequestTest, AStartThatFailedHalfWayLetsNoClientIn) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    // The Render channel's filters register, the Capture channel's WaveRT filter does not.
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::RegisterSubdevice,
                                               STATUS_INSUFFICIENT_RESOURCES, 4);
    EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
    RawClient& client = NewClient(Render());
    EXPECT_EQ(client.Open(DevicePath(Render())), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(host::LiveMappings(&client.process).empty());
}

TEST_P(HostileRequestTest, A32BitClientWhoseViewsLieAbove4GiBIsRefused) {
    LoadAndStart();
    host::PlaceViewsOf32BitProcessesHigh(true);
    RawClient& high = NewClient(Render(), true, "high");
    EXPECT_EQ(high.Open(), STATUS_CONFLICTING_ADDRESSES);
    EXPECT_TRUE(host::LiveMappings(&high.process).empty());
    ExpectReusable(Render());

    host::PlaceViewsOf32BitProcessesHigh(false);
    RawClient& low = NewClient(Render(), true, "low");
    ASSERT_EQ(low.Connect(), STATUS_SUCCESS);
    EXPECT_LT(reinterpret_cast<unsigned long long>(low.block), 1ull << 32);
    EXPECT_EQ(low.Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Files, HostileRequestTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Render" : "Capture");
                         });

} // namespace
