// A small adapter with fake topology and WaveRT miniports for the library's filter tests: one
// descriptor (two pins, one node, a property per table, a filter event and a pin event), handlers
// that count their calls, and an adapter driver that registers the subdevices a test asks for.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <portcls.h>

#include "HostTest.h"
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

// Behaviour switches and records shared by the fakes of one test.
struct Control {
    int propertyCalls = 0;
    int eventAdds = 0;
    int eventRemoves = 0;
    PUNKNOWN eventTarget = nullptr; // the major target of the last event call
    ULONG overreport = 0;           // extra value bytes a get claims (a faulty handler)
    NTSTATUS miniportInit = STATUS_SUCCESS;
};
extern Control* control;

KSDATARANGE MakeRange(const GUID& major, const GUID& sub, const GUID& specifier);

// Fields both miniports share: counted references and the port interfaces they hold.
struct MiniportState {
    std::atomic<ULONG> references{0};
    PPORT port = nullptr;
    PPORTEVENTS events = nullptr;
    int inits = 0;
    ULONG ReleaseOne(); // drops the port interfaces with the last reference
};

NTSTATUS Query(REFIID id, REFIID own, IMiniport* miniport, PVOID* object);
NTSTATUS Describe(PPCFILTER_DESCRIPTOR* description);
NTSTATUS Intersect(PKSDATARANGE caller, PKSDATARANGE pin, ULONG capacity, PVOID result,
                   PULONG length);
NTSTATUS InitState(MiniportState* state, PPORT port);

template <class Interface, class PortInterface, REFIID Own>
class Miniport : public Interface, public MiniportState {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
        return Query(id, Own, this, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseOne(); }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        return Describe(description);
    }
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG, PKSDATARANGE caller, PKSDATARANGE pin, ULONG capacity,
                          PVOID result, PULONG length) override {
        return Intersect(caller, pin, capacity, result, length);
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PortInterface* port) override {
        return InitState(this, port);
    }
};

using FakeTopology = Miniport<IMiniportTopology, IPortTopology, IID_IMiniportTopology>;

class FakeWaveRT : public Miniport<IMiniportWaveRT, IPortWaveRT, IID_IMiniportWaveRT> {
public:
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
};

} // namespace fake
