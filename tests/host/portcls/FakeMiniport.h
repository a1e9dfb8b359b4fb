// A small adapter with fake topology and WaveRT miniports for the library's filter tests: one
// descriptor (two pins, one node, a property per table, a filter event), handlers that record
// the request they got, and an adapter driver that registers the subdevices a test asks for.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <portcls.h>

#include "HostTest.h"
#include "kernel/Handles.h"
#include "kernel/Pnp.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"
#include "portcls/PortClass.h"

namespace fake {

// Properties: filter (id 1, get/set/basic support), pin (id 2, get), node (id 3, get), all of
// FakeSet; an event of FakeEventSet (id 1) on the filter and (id 2) on pin 1.
extern const GUID FakeSet;
extern const GUID FakeEventSet;
constexpr ULONG FilterPropertyId = 1;
constexpr ULONG PinPropertyId = 2;
constexpr ULONG NodePropertyId = 3;
constexpr ULONG FilterEventId = 1;
constexpr ULONG PinEventId = 2;

// What the last handler call saw.
struct Seen {
    int calls = 0;
    PUNKNOWN majorTarget = nullptr;
    PUNKNOWN minorTarget = nullptr;
    ULONG node = 0;
    ULONG verb = 0;
    ULONG instanceSize = 0;
    std::vector<unsigned char> instance;
    ULONG valueSize = 0;
    int eventAdds = 0;
    int eventRemoves = 0;
};

// Behaviour switches and records shared by the fakes of one test.
struct Control {
    Seen seen;
    ULONG filterValue = 0x1234; // what the filter property holds
    ULONG overreport = 0;       // extra value bytes a get claims (a faulty handler)
    bool intersect = false;     // DataRangeIntersection answers instead of deferring
    NTSTATUS miniportInit = STATUS_SUCCESS;
};
extern Control* control;

KSDATARANGE MakeRange(const GUID& major, const GUID& sub, const GUID& specifier);

class FakeTopology;
class FakeWaveRT;

// Fields both miniports share: counted references and the port interfaces they hold.
struct MiniportState {
    std::atomic<ULONG> references{0};
    PPORT port = nullptr;
    PPORTEVENTS events = nullptr;
    PUNKNOWN adapterSeen = nullptr;
    int inits = 0;
    ULONG ReleaseOne(); // drops the port interfaces with the last reference
    void Drop();
};

class FakeTopology : public IMiniportTopology, public MiniportState {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override;
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST, PPORTTOPOLOGY port) override;
};

class FakeWaveRT : public IMiniportWaveRT, public MiniportState {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override;
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST, PPORTWAVERT port) override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVERTSTREAM*, PPORTWAVERTSTREAM, ULONG, BOOLEAN, PKSDATAFORMAT) override {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION) override {
        return STATUS_NOT_SUPPORTED;
    }
};

// The adapter's unknown (counted, never freed).
class FakeAdapter : public IUnknown {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    std::atomic<ULONG> references{0};
};

// A user-mode event, as the object manager will hand it out: named "Event", a KEVENT body.
class UserEvent : public host::HandleObject {
public:
    UserEvent() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    std::string Describe() const override { return "Event"; }
    void* Body() override { return &event; }
    bool Signalled() { return KeReadStateEvent(&event) != 0; }
    void Clear() { KeClearEvent(&event); }
    KEVENT event;
};

// The subdevices the adapter registers at start: name, port class, miniport.
struct Subdevice {
    const wchar_t* name;
    bool wave;
};

// A test with the fake adapter loaded and started, its subdevices registered.
class FilterTest : public HostTest {
public:
    void SetUp() override;
    void TearDown() override;
    // Starts the device, registering these subdevices (each step's failure is recorded, the
    // next subdevice still made) and the given connections between them.
    struct Connection {
        size_t from;
        ULONG fromPin;
        size_t to;
        ULONG toPin;
    };
    NTSTATUS Start(std::vector<Subdevice> subdevices, std::vector<Connection> connections = {});
    std::vector<Subdevice> wanted;
    std::vector<Connection> wantedConnections;
    std::vector<NTSTATUS> connectionStatus;
    // Called by the adapter's start routine.
    NTSTATUS CreateSubdevices(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources);

    // A user-mode path of the filter registered under name for category.
    std::u16string PathOf(const GUID& category, const std::u16string& name);
    HANDLE OpenFilter(const std::u16string& name);

    struct Reply {
        NTSTATUS status;
        ULONG bytes;
    };
    // An IOCTL_KS_PROPERTY from the client process with the given input and a value buffer
    // of valueSize bytes (filled with 0xEE beyond the reply).
    Reply Property(HANDLE filter, const void* input, ULONG inputSize, ULONG valueSize);
    std::vector<unsigned char> value;

    PDEVICE_OBJECT FunctionalDevice();

    Control state;
    // One miniport per subdevice, in the order Start made them.
    std::deque<FakeTopology> topologies;
    std::deque<FakeWaveRT> waves;
    FakeAdapter adapter;
    std::vector<NTSTATUS> registrations; // per subdevice: the first failing step's status
    host::Pnp* pnp = nullptr;
    host::LoadedDriver* driver = nullptr;
    host::Process* client = nullptr;
    std::vector<PPORT> ports; // in registration order, as the adapter created them
};

} // namespace fake
