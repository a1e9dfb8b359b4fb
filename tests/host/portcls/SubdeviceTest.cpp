// Ports and subdevices: what PcNewPort, a port's Init, PcRegisterSubdevice and
// PcRegisterPhysicalConnection leave behind, seen through the library's queries and through
// user-mode opens, and the faults a test can inject into them.
#include <gtest/gtest.h>

#include <ksmedia.h>

#include "FakeMiniport.h"
#include "KsTestRequests.h"

namespace {

using fake::FilterTest;
using host::PortClassCall;

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
    EXPECT_EQ(FilterPath(u"wave_r"), u"");
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

// Answers at both ends are the driver's filter integration test's; here, the refusals.
TEST_F(FilterTest, PhysicalConnectionsToPinsBeyondTheDescriptorsAreRefused) {
    ASSERT_EQ(
        Start({{L"topo_c", false}, {L"wave_c", true}}, {{0, 0, 1, 1}, {0, 2, 1, 1}, {1, 1, 0, 7}}),
        STATUS_SUCCESS);
    EXPECT_EQ(connectionStatus, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INVALID_PARAMETER,
                                                       STATUS_INVALID_PARAMETER}));
    EXPECT_EQ(machine.Get<host::PortClass>().Connections(FunctionalDevice()).size(), 1u);
}

} // namespace
