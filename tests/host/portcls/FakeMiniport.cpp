// The fake miniports, their tables and handlers, and the adapter driver of the filter tests.
#include "FakeMiniport.h"

#include <ksmedia.h>

#include "KsTestRequests.h"
#include "kernel/IoManager.h"

namespace fake {

const GUID FakeSet = {0x1d3e6a0b, 0x4c55, 0x4a8e, {0x9b, 0x2f, 0x61, 0x0c, 0x7d, 0x33, 0x90, 0x11}};
const GUID FakeEventSet = {
    0x1d3e6a0c, 0x4c55, 0x4a8e, {0x9b, 0x2f, 0x61, 0x0c, 0x7d, 0x33, 0x90, 0x11}};
Control* control = nullptr;

KSDATARANGE MakeRange(const GUID& major, const GUID& sub, const GUID& specifier) {
    KSDATARANGE range{};
    range.FormatSize = sizeof(range);
    range.MajorFormat = major;
    range.SubFormat = sub;
    range.Specifier = specifier;
    return range;
}

namespace {

FilterTest* current = nullptr;

// Every property answers a ULONG as the driver's handlers do: 0 learns the size, less is too
// small; a faulty handler (control->overreport) claims more than it wrote.
NTSTATUS NTAPI PropertyHandler(PCPROPERTY_REQUEST* request) {
    control->propertyCalls++;
    control->seen = *request;
    if (request->InstanceSize >= sizeof(ULONG)) {
        std::memcpy(&control->seenInstance, request->Instance, sizeof(ULONG));
    }
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG value = 0x1234;
    std::memcpy(request->Value, &value, sizeof(value));
    request->ValueSize = sizeof(ULONG) + control->overreport;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EventHandler(PCEVENT_REQUEST* request) {
    control->eventTarget = request->MajorTarget;
    if (request->Verb == PCEVENT_VERB_ADD) {
        control->eventAdds++;
        for (FakeTopology& topology : current->topologies) {
            if (static_cast<IMiniportTopology*>(&topology) == request->MajorTarget &&
                topology.events != nullptr) {
                topology.events->AddEventToEventList(request->EventEntry);
                return STATUS_SUCCESS;
            }
        }
        return STATUS_UNSUCCESSFUL;
    }
    if (request->Verb == PCEVENT_VERB_REMOVE) {
        control->eventRemoves++;
    }
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM FilterProperties[] = {
    {&FakeSet, FilterPropertyId,
     KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, PropertyHandler},
};
const PCEVENT_ITEM FilterEvents[] = {
    {&FakeEventSet, FilterEventId, KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_BASICSUPPORT, EventHandler},
};
const PCPROPERTY_ITEM PinProperties[] = {
    {&FakeSet, PinPropertyId, KSPROPERTY_TYPE_GET, PropertyHandler},
};
const PCEVENT_ITEM PinEvents[] = {
    {&FakeEventSet, PinEventId, KSEVENT_TYPE_ENABLE, EventHandler},
};
const PCPROPERTY_ITEM NodeProperties[] = {
    {&FakeSet, NodePropertyId, KSPROPERTY_TYPE_GET, PropertyHandler},
};
// A table of one property item and the given events.
constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM* property, const PCEVENT_ITEM* events) {
    return {sizeof(PCPROPERTY_ITEM),
            1,
            property,
            sizeof(PCMETHOD_ITEM),
            0,
            nullptr,
            sizeof(PCEVENT_ITEM),
            events != nullptr ? 1u : 0u,
            events,
            0};
}
const PCAUTOMATION_TABLE FilterTable = Table(FilterProperties, FilterEvents);
const PCAUTOMATION_TABLE PinTable = Table(PinProperties, nullptr);
const PCAUTOMATION_TABLE EventPinTable = Table(PinProperties, PinEvents);
const PCAUTOMATION_TABLE NodeTable = Table(NodeProperties, nullptr);

KSDATARANGE BridgeRange =
    MakeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE);
// A range that a default intersection cannot complete (its specifier needs a format body).
KSDATARANGE WaveRange = MakeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                                  KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
PKSDATARANGE OutRanges[] = {&BridgeRange};
PKSDATARANGE InRanges[] = {&WaveRange, &BridgeRange};

// A pin of at most `instances` instances with its ranges, flow, communication and category.
template <size_t N>
constexpr PCPIN_DESCRIPTOR Pin(ULONG instances, const PCAUTOMATION_TABLE* table,
                               PKSDATARANGE (&ranges)[N], KSPIN_DATAFLOW flow,
                               KSPIN_COMMUNICATION communication, const GUID* category) {
    return {instances,
            instances,
            0,
            table,
            {0, nullptr, 0, nullptr, N, ranges, flow, communication, category, nullptr, {0}}};
}
const PCPIN_DESCRIPTOR Pins[] = {
    Pin(0, &PinTable, OutRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER),
    Pin(1, &EventPinTable, InRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK,
        &KSCATEGORY_AUDIO),
};
const PCNODE_DESCRIPTOR Nodes[] = {{0, &NodeTable, &KSCATEGORY_AUDIO, nullptr}};
const PCCONNECTION_DESCRIPTOR Connections[] = {{KSFILTER_NODE, 1, 0, 1}, {0, 0, KSFILTER_NODE, 0}};
const GUID Categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
PCFILTER_DESCRIPTOR Descriptor = {0,
                                  &FilterTable,
                                  sizeof(PCPIN_DESCRIPTOR),
                                  2,
                                  Pins,
                                  sizeof(PCNODE_DESCRIPTOR),
                                  1,
                                  Nodes,
                                  2,
                                  Connections,
                                  2,
                                  Categories};

// The adapter driver.
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    return current->CreateSubdevices(device, irp, resources);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    return PcAddAdapterDevice(driver, physical, StartDevice, 4, 0);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

} // namespace

NTSTATUS Describe(PPCFILTER_DESCRIPTOR* description) {
    *description = &Descriptor;
    return STATUS_SUCCESS;
}

// The default intersection, or (when a test asks) the miniport's own: a 64-byte format.
NTSTATUS Intersect(PKSDATARANGE caller, PKSDATARANGE pin, ULONG capacity, PVOID result,
                   PULONG length) {
    if (!control->intersect) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (!IsEqualGUID(caller->SubFormat, pin->SubFormat)) {
        return STATUS_NO_MATCH;
    }
    *length = sizeof(KSDATAFORMAT);
    if (capacity == 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (capacity < sizeof(KSDATAFORMAT)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSDATAFORMAT format = *pin;
    format.SampleSize = 4; // marks the miniport's answer
    std::memcpy(result, &format, sizeof(format));
    return STATUS_SUCCESS;
}

NTSTATUS InitState(MiniportState* state, PPORT port) {
    state->inits++;
    if (!NT_SUCCESS(control->miniportInit)) {
        return control->miniportInit;
    }
    port->AddRef();
    state->port = port;
    return port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&state->events));
}

NTSTATUS Query(REFIID id, REFIID own, IMiniport* miniport, PVOID* object) {
    if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IMiniport) || IsEqualGUID(id, own)) {
        miniport->AddRef();
        *object = miniport;
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

ULONG MiniportState::ReleaseOne() {
    ULONG left = --references;
    if (left == 0) {
        if (events != nullptr) {
            events->Release();
            events = nullptr;
        }
        if (port != nullptr) {
            port->Release();
            port = nullptr;
        }
    }
    return left;
}

void FilterTest::SetUp() {
    current = this;
    control = &state;
    pnp = &machine.Get<host::Pnp>();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = pnp->Load(DriverEntry, u"fakeaudio", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(pnp->AddDevice(*driver), STATUS_SUCCESS);
    client = &machine.Get<host::Processes>().Create("audio engine", false);
}

void FilterTest::TearDown() {
    machine.Get<host::Processes>().Exit(*client);
    if (driver != nullptr) {
        pnp->Unload(*driver);
    }
    // Every reference the library took on the miniports and the adapter was given back.
    for (FakeTopology& miniport : topologies) {
        EXPECT_EQ(miniport.references, 0u);
        EXPECT_EQ(miniport.port, nullptr);
    }
    for (FakeWaveRT& miniport : waves) {
        EXPECT_EQ(miniport.references, 0u);
    }
    EXPECT_EQ(adapter.references, 0u);
    HostTest::TearDown();
    current = nullptr;
    control = nullptr;
}

NTSTATUS FilterTest::Start(std::vector<Subdevice> subdevices, std::vector<Connection> connections) {
    wanted = std::move(subdevices);
    wantedConnections = std::move(connections);
    return pnp->StartDevice(*driver);
}

NTSTATUS FilterTest::CreateSubdevices(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    std::vector<PPORT> ports; // in registration order
    for (const Subdevice& subdevice : wanted) {
        IMiniport* miniport = nullptr;
        if (subdevice.wave) {
            miniport = &waves.emplace_back();
        } else {
            miniport = &topologies.emplace_back();
        }
        miniport->AddRef(); // this adapter's, given back below
        PPORT port = nullptr;
        NTSTATUS status = PcNewPort(&port, subdevice.wave ? CLSID_PortWaveRT : CLSID_PortTopology);
        if (NT_SUCCESS(status)) {
            status = port->Init(device, irp, miniport, &adapter, resources);
            if (NT_SUCCESS(status)) {
                status = PcRegisterSubdevice(device, const_cast<PWSTR>(subdevice.name), port);
            }
        }
        ports.push_back(port);
        registrations.push_back(status);
        miniport->Release();
    }
    for (const Connection& connection : wantedConnections) {
        connectionStatus.push_back(
            PcRegisterPhysicalConnection(device, ports.at(connection.from), connection.fromPin,
                                         ports.at(connection.to), connection.toPin));
    }
    // The library holds what it registered; ports that failed go with their miniports.
    for (PPORT& port : ports) {
        if (port != nullptr) {
            port->Release();
        }
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT FilterTest::FunctionalDevice() {
    return host::IoManager::TopOfStack(driver->physicalDevice);
}

HANDLE FilterTest::OpenFilter(const std::u16string& name) {
    host::ProcessScope scope(client);
    return host::user::CreateFile(FilterPath(name));
}

FilterTest::Reply FilterTest::Property(HANDLE filter, const void* input, ULONG inputSize,
                                       ULONG valueSize) {
    host::ProcessScope scope(client);
    value.assign(valueSize + 16, 0xEE);
    Reply reply{STATUS_SUCCESS, 0};
    host::user::DeviceIoControl(filter, IOCTL_KS_PROPERTY, input, inputSize,
                                valueSize == 0 ? nullptr : value.data(), valueSize, &reply.bytes,
                                &reply.status);
    return reply;
}

} // namespace fake
