// The port-class frame under a small adapter driver written in the test: the library's set-up
// of the driver object, the start routine, power-management registration, the unload order and
// what PcDispatchIrp serves and refuses.
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <portcls.h>

#include "HostTest.h"
#include "kernel/IoManager.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"
#include "portcls/PortClass.h"

namespace {

namespace user = host::user;
using host::ProcessScope;

const GUID PrivateClass = {
    0xacc2f77f, 0x7e94, 0x4cfd, {0xa5, 0x94, 0xcf, 0xb7, 0x6b, 0x62, 0x28, 0x85}};

// The adapter's power-management object: counts its references and calls.
class PowerObject : public IAdapterPowerManagement {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
        if (IsEqualGUID(id, IID_IAdapterPowerManagement) || IsEqualGUID(id, IID_IUnknown)) {
            AddRef();
            *object = static_cast<IAdapterPowerManagement*>(this);
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE) override {}
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES) override {
        return STATUS_SUCCESS;
    }
    std::atomic<ULONG> references{0};
};

// Everything the fake adapter driver records, reset per test.
struct Adapter {
    std::vector<std::string> events;
    PDRIVER_DISPATCH libraryDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    PDRIVER_UNLOAD libraryUnload = nullptr;
    bool callLibraryUnload = true;
    PDEVICE_OBJECT startedDevice = nullptr;
    UCHAR startMinor = 0xff;
    ULONG startResourceCount = 99;
    NTSTATUS startStatus = STATUS_SUCCESS;
    NTSTATUS powerStatus = STATUS_PENDING;
    PowerObject power;
    PFILE_OBJECT privateFile = nullptr;
    UNICODE_STRING link{};
};
Adapter* adapter = nullptr;

const wchar_t PrivateName[] = L"\\Private";

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    adapter->events.push_back("start");
    adapter->startedDevice = device;
    adapter->startMinor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    adapter->startResourceCount = resources->NumberOfEntries();
    adapter->powerStatus = PcRegisterAdapterPowerManagement(&adapter->power, device);
    if (NT_SUCCESS(adapter->startStatus)) {
        IoSetDeviceInterfaceState(&adapter->link, TRUE);
    }
    return adapter->startStatus;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    NTSTATUS status = IoRegisterDeviceInterface(physical, &PrivateClass, nullptr, &adapter->link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return PcAddAdapterDevice(driver, physical, StartDevice, 4, 0);
}

// The create hook keeps one private file to itself (as a transport file) and hands everything
// else, including every close and device control, to the library.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    UNICODE_STRING privateName;
    RtlInitUnicodeString(&privateName, PrivateName);
    if (RtlCompareUnicodeString(&file->FileName, &privateName, FALSE) == 0) {
        adapter->privateFile = file;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    return PcDispatchIrp(device, irp);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    adapter->events.push_back("driver unload");
    if (adapter->callLibraryUnload) {
        adapter->libraryUnload(driver);
        adapter->events.push_back("library unloaded");
    }
    if (adapter->link.Buffer != nullptr) {
        IoSetDeviceInterfaceState(&adapter->link, FALSE);
        RtlFreeUnicodeString(&adapter->link);
    }
    adapter->events.push_back("adapter released");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        adapter->libraryDispatch[i] = driver->MajorFunction[i];
    }
    adapter->libraryUnload = driver->DriverUnload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

// A subdevice's filter for the routing tests: counts what reaches it.
struct FilterCounts {
    int controls = 0;
    int closes = 0;
};

class FakeFilter : public host::PortClassFile {
public:
    explicit FakeFilter(FilterCounts* counts) : counts(counts) {}
    NTSTATUS DeviceControl(PIRP, ULONG_PTR* information) override {
        counts->controls++;
        *information = 0;
        return STATUS_SUCCESS;
    }
    void Close() override { counts->closes++; }

private:
    FilterCounts* counts;
};

class PortClassTest : public HostTest {
protected:
    void SetUp() override {
        adapter = &state;
        pnp = &machine.Get<host::Pnp>();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = pnp->Load(DriverEntry, u"adapter", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(pnp->AddDevice(*driver), STATUS_SUCCESS);
        client = &machine.Get<host::Processes>().Create("client", false);
    }

    void TearDown() override {
        machine.Get<host::Processes>().Exit(*client);
        if (driver != nullptr) {
            pnp->Unload(*driver);
        }
        HostTest::TearDown();
        adapter = nullptr;
    }

    std::u16string Path(const std::u16string& tail) {
        return user::GetDeviceInterfacePaths(PrivateClass).at(0) + tail;
    }

    PDEVICE_OBJECT FunctionalDevice() {
        return host::IoManager::TopOfStack(driver->physicalDevice);
    }

    Adapter state;
    host::Pnp* pnp = nullptr;
    host::LoadedDriver* driver = nullptr;
    host::Process* client = nullptr;
};

TEST_F(PortClassTest, InitializeFillsTheDocumentedEntriesWithTheLibrary) {
    const std::set<int> library = {IRP_MJ_CLOSE,          IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL,
                                   IRP_MJ_FLUSH_BUFFERS,  IRP_MJ_PNP,    IRP_MJ_POWER,
                                   IRP_MJ_QUERY_SECURITY, IRP_MJ_READ,   IRP_MJ_SET_SECURITY,
                                   IRP_MJ_SYSTEM_CONTROL, IRP_MJ_WRITE};
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        EXPECT_EQ(state.libraryDispatch[i] == PcDispatchIrp, library.count(i) != 0)
            << "major function " << i;
    }
    EXPECT_NE(state.libraryUnload, nullptr);
    EXPECT_EQ(driver->driverObject->DriverExtension->AddDevice, AddDevice);
}

TEST_F(PortClassTest, StartCallsTheStartRoutineWithTheRequestAndAnEmptyResourceList) {
    ASSERT_EQ(pnp->StartDevice(*driver), STATUS_SUCCESS);
    EXPECT_EQ(state.startedDevice, FunctionalDevice());
    EXPECT_EQ(state.startMinor, IRP_MN_START_DEVICE);
    EXPECT_EQ(state.startResourceCount, 0u);
    EXPECT_EQ(state.powerStatus, STATUS_SUCCESS);
    // Power management is held until the device is removed.
    EXPECT_EQ(state.power.references, 1u);
    pnp->Unload(*driver);
    driver = nullptr;
    EXPECT_EQ(state.power.references, 0u);
}

TEST_F(PortClassTest, StartFailureIsTheStartRoutinesStatus) {
    state.startStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(pnp->StartDevice(*driver), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(PortClassTest, InjectedPowerRegistrationFaultTakesNoReference) {
    machine.Get<host::PortClass>().InjectFault(host::PortClassCall::RegisterAdapterPowerManagement,
                                               STATUS_INSUFFICIENT_RESOURCES);
    state.startStatus = STATUS_INSUFFICIENT_RESOURCES;
    pnp->StartDevice(*driver);
    EXPECT_EQ(state.powerStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(state.power.references, 0u);
    // The fault was for one call only.
    EXPECT_EQ(PcRegisterAdapterPowerManagement(&state.power, FunctionalDevice()), STATUS_SUCCESS);
    EXPECT_EQ(state.power.references, 1u);
}

TEST_F(PortClassTest, PowerRegistrationRefusesADeviceTheLibraryDidNotCreate) {
    EXPECT_EQ(PcRegisterAdapterPowerManagement(&state.power, driver->physicalDevice),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterAdapterPowerManagement(nullptr, FunctionalDevice()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state.power.references, 0u);
}

TEST_F(PortClassTest, UnloadCallsTheLibraryBeforeReleasingTheAdapter) {
    ASSERT_EQ(pnp->StartDevice(*driver), STATUS_SUCCESS);
    std::vector<std::string> problems = pnp->Unload(*driver);
    driver = nullptr;
    EXPECT_TRUE(problems.empty()) << problems.at(0);
    EXPECT_EQ(state.events, (std::vector<std::string>{"start", "driver unload", "library unloaded",
                                                      "adapter released"}));
}

TEST_F(PortClassTest, VerifierReportsAnUnloadThatSkipsTheLibrary) {
    state.callLibraryUnload = false;
    std::vector<std::string> problems = pnp->Unload(*driver);
    driver = nullptr;
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("without calling the port-class unload routine"), std::string::npos);
    // Acknowledged: the driver record goes with the test's machine.
    machine.Get<host::PortClass>().drivers.clear();
}

TEST_F(PortClassTest, DispatchRefusesNamesNoSubdeviceServes) {
    ASSERT_EQ(pnp->StartDevice(*driver), STATUS_SUCCESS);
    ProcessScope scope(client);
    for (const char16_t* name : {u"\\wave_r", u"", u"\\", u"\\{146F1A80-4791-11D0-A5D6}"}) {
        EXPECT_EQ(user::CreateFile(Path(name)), INVALID_HANDLE_VALUE);
        EXPECT_EQ(user::LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
    }
}

// Kernel streaming finds its object through the file object: a file the driver kept to itself
// has none, so any request on it handed to the library stops the machine.
using PortClassDeathTest = PortClassTest;

TEST_F(PortClassDeathTest, RequestsOnAFileTheLibraryDidNotCreateBugCheck) {
    ASSERT_EQ(pnp->StartDevice(*driver), STATUS_SUCCESS);
    const std::function<void(HANDLE)> requests[] = {
        [](HANDLE own) { user::DeviceIoControl(own, 0x2f0003, nullptr, 0, nullptr, 0, nullptr); },
        [](HANDLE own) { user::ReadFile(own, nullptr, 0); },
        [](HANDLE own) { user::CreateFileRelative(own, u"{pin}"); },
        [](HANDLE own) { user::CloseHandle(own); },
    };
    for (const auto& request : requests) {
        EXPECT_DEATH(
            {
                ProcessScope scope(client);
                request(user::CreateFile(Path(u"\\Private")));
            },
            "KMODE_EXCEPTION_NOT_HANDLED.*which the port-class library did not create");
    }
}

TEST_F(PortClassTest, SubdeviceFilesGetTheirOwnRequests) {
    ASSERT_EQ(pnp->StartDevice(*driver), STATUS_SUCCESS);
    FilterCounts counts;
    auto& library = machine.Get<host::PortClass>();
    ASSERT_EQ(library.AddSubdevice(FunctionalDevice(), u"Wave",
                                   [&counts](PIRP, std::unique_ptr<host::PortClassFile>* file) {
                                       *file = std::make_unique<FakeFilter>(&counts);
                                       return STATUS_SUCCESS;
                                   }),
              STATUS_SUCCESS);
    ProcessScope scope(client);
    HANDLE filter = user::CreateFile(Path(u"\\wave"));
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(user::DeviceIoControl(filter, 0x2f0003, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(counts.controls, 1);
    // Nothing lives under a filter without children.
    EXPECT_EQ(user::CreateFileRelative(filter, u"{pin}"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(user::LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    // The library has no cleanup routine: the system's default refuses it, which is no fault.
    user::CloseHandle(filter);
    EXPECT_EQ(counts.closes, 1);
}

TEST_F(PortClassTest, AddAdapterDeviceAndSubdevicesRefuseBadArguments) {
    PDRIVER_OBJECT object = driver->driverObject;
    PDEVICE_OBJECT physical = driver->physicalDevice;
    EXPECT_EQ(PcAddAdapterDevice(object, physical, nullptr, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcAddAdapterDevice(object, physical, StartDevice, 0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcAddAdapterDevice(object, physical, StartDevice, 4, 16), STATUS_INVALID_PARAMETER);
    auto none = [](PIRP, std::unique_ptr<host::PortClassFile>*) { return STATUS_SUCCESS; };
    EXPECT_EQ(machine.Get<host::PortClass>().AddSubdevice(physical, u"x", none),
              STATUS_INVALID_PARAMETER);
}

} // namespace
