// Ports and subdevices: what PcNewPort, a port's Init, PcRegisterSubdevice and
// PcRegisterPhysicalConnection leave behind, seen through the library's queries and through
// user-mode opens, and the faults a test can inject into them.
#include <gtest/gtest.h>

#include <ksmedia.h>

#include "FakeMiniport.h"
#include "kernel/IoManager.h"

namespace {

using fake::FilterTest;
using host::PortClassCall;

std::string Utf8(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

TEST_F(FilterTest, SubdevicesAndTheirInterfacesFollowRegistrationOrder) {
    ASSERT_EQ(Start({{L"topo_c", false}, {L"wave_c", true}, {L"topo_r", false}, {L"wave_r", true}}),
              STATUS_SUCCESS);
    auto& library = machine.Get<host::PortClass>();
    EXPECT_EQ(library.SubdeviceNames(FunctionalDevice()),
              (std::vector<std::u16string>{u"topo_c", u"wave_c", u"topo_r", u"wave_r"}));
    EXPECT_EQ(library.Interfaces(FunctionalDevice()).size(), 8u);
    // Each interface opens its own filter.
    host::ProcessScope scope(client);
    for (const char16_t* name : {u"\\topo_c", u"\\wave_r"}) {
        HANDLE filter = host::user::CreateFile(PathOf(KSCATEGORY_TOPOLOGY, name));
        ASSERT_NE(filter, INVALID_HANDLE_VALUE) << Utf8(name);
        host::user::CloseHandle(filter);
    }
}

TEST_F(FilterTest, PortsRefuseMiniportsOfTheOtherClassAndUnknownClasses) {
    ASSERT_EQ(Start({}), STATUS_SUCCESS);
    fake::FakeTopology& miniport = topologies.emplace_back();
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveRT), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(port->Init(FunctionalDevice(), nullptr, &miniport, &adapter, nullptr)));
    EXPECT_EQ(miniport.inits, 0);
    // An unbound port cannot be registered.
    EXPECT_EQ(PcRegisterSubdevice(FunctionalDevice(), const_cast<PWSTR>(L"x"), port),
              STATUS_INVALID_PARAMETER);
    port->Release();
    PPORT other = reinterpret_cast<PPORT>(&adapter);
    EXPECT_EQ(PcNewPort(&other, CLSID_PortWaveCyclic), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(other, nullptr);
}

TEST_F(FilterTest, InjectedFaultsStopEachStepAndLeaveNothingRegistered) {
    struct Case {
        PortClassCall call;
        int expectedInits;
    };
    const Case cases[] = {
        {PortClassCall::NewPort, 0},
        {PortClassCall::PortInit, 0},
        {PortClassCall::RegisterSubdevice, 1},
    };
    auto& library = machine.Get<host::PortClass>();
    for (const Case& item : cases) {
        library.InjectFault(item.call, STATUS_DEVICE_NOT_READY, 2);
    }
    // Each fault hits the second call of its kind: topo_c's step passes, wave_c's fails.
    ASSERT_EQ(Start({{L"topo_c", false}, {L"wave_c", true}, {L"topo_r", false}, {L"wave_r", true}}),
              STATUS_SUCCESS);
    EXPECT_EQ(registrations,
              (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_DEVICE_NOT_READY,
                                     STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_READY}));
    EXPECT_EQ(library.SubdeviceNames(FunctionalDevice()), (std::vector<std::u16string>{u"topo_c"}));
    EXPECT_EQ(library.Interfaces(FunctionalDevice()).size(), 2u);
    EXPECT_EQ(PathOf(KSCATEGORY_AUDIO, u"\\wave_r"), u"");
    // NewPort failed for wave_c, Init for topo_r, registration for wave_r (after its Init).
    EXPECT_EQ(waves.at(0).inits, 0);
    EXPECT_EQ(topologies.at(1).inits, 0);
    EXPECT_EQ(waves.at(1).inits, 1);
}

TEST_F(FilterTest, AFailingMiniportInitLeavesThePortUnbound) {
    state.miniportInit = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(Start({{L"topo", false}}), STATUS_SUCCESS);
    EXPECT_EQ(registrations.at(0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine.Get<host::PortClass>().SubdeviceNames(FunctionalDevice()).empty());
    EXPECT_EQ(adapter.references, 0u);
}

TEST_F(FilterTest, SubdeviceNamesAreUniqueAndLimited) {
    ASSERT_EQ(Start({{L"topo", false},
                     {L"TOPO", false},
                     {L"a", true},
                     {L"b", true},
                     {L"c", true},
                     {L"d", true}}),
              STATUS_SUCCESS);
    EXPECT_EQ(registrations, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_OBJECT_NAME_COLLISION,
                                                    STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS,
                                                    STATUS_INSUFFICIENT_RESOURCES}));
    EXPECT_EQ(machine.Get<host::PortClass>().Interfaces(FunctionalDevice()).size(), 8u);
}

TEST_F(FilterTest, PhysicalConnectionsAreRecordedAndAnsweredAtBothEnds) {
    ASSERT_EQ(
        Start({{L"topo_c", false}, {L"wave_c", true}}, {{0, 0, 1, 1}, {0, 2, 1, 1}, {1, 1, 0, 7}}),
        STATUS_SUCCESS);
    // Pins beyond the descriptors are refused.
    EXPECT_EQ(connectionStatus, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INVALID_PARAMETER,
                                                       STATUS_INVALID_PARAMETER}));
    EXPECT_EQ(machine.Get<host::PortClass>().Connections(FunctionalDevice()).size(), 1u);

    struct Case {
        const char16_t* filter;
        ULONG pin;
        NTSTATUS status;
        ULONG otherPin;
        const char* otherLink;
    };
    const Case cases[] = {
        {u"topo_c", 0, STATUS_SUCCESS, 1,
         "\\??\\ROOT#MEDIA#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave_c"},
        {u"wave_c", 1, STATUS_SUCCESS, 0,
         "\\??\\ROOT#MEDIA#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\topo_c"},
        {u"topo_c", 1, STATUS_NOT_FOUND, 0, ""},
    };
    for (const Case& item : cases) {
        HANDLE filter = OpenFilter(item.filter);
        KSP_PIN request{{{KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION, KSPROPERTY_TYPE_GET}},
                        item.pin,
                        0};
        Reply size = Property(filter, &request, sizeof(request), 0);
        Reply reply = Property(filter, &request, sizeof(request), 256);
        EXPECT_EQ(reply.status, item.status) << Utf8(item.filter);
        if (item.status == STATUS_SUCCESS) {
            EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(size.bytes, reply.bytes);
            KSPIN_PHYSICALCONNECTION head;
            std::memcpy(&head, value.data(), sizeof(head));
            EXPECT_EQ(head.Size, reply.bytes);
            EXPECT_EQ(head.Pin, item.otherPin);
            const auto* text = reinterpret_cast<const char16_t*>(value.data() + 8);
            EXPECT_EQ(Utf8(text), item.otherLink);
        }
        host::ProcessScope scope(client);
        host::user::CloseHandle(filter);
    }
}

} // namespace
