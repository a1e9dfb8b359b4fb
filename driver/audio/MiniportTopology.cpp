// The topology miniport object and its jack property and event handlers.
#include "audio/MiniportTopology.h"

#include "audio/PropertyRoutines.h"
#include "audio/TopologyDescriptors.h"
#include "support/StringFormatter.h"
#include "transport/TransportEndpoint.h"

namespace {

// The jack-description value: a one-item list with the jack behind its header.
struct JackDescriptionValue {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION jack;
};
static_assert(sizeof(JackDescriptionValue) == 36, "the jack description value is 36 bytes");

const ULONG AllNodes = 0xFFFFFFFF;

} // namespace

CMiniportTopology::CMiniportTopology(bool isCapture, TransportChannel* channel)
    : UnknownBase(nullptr), channel(channel), isCapture(isCapture), subdeviceName{}, port(nullptr),
      portEvents(nullptr) {
    PrintString(subdeviceName, SubdeviceNameCapacity, L"%s%s", L"topo", isCapture ? L"_c" : L"_r");
}

CMiniportTopology::~CMiniportTopology() {
    if (portEvents != nullptr) {
        portEvents->Release();
        portEvents = nullptr;
    }
    if (port != nullptr) {
        port->Release();
        port = nullptr;
    }
}

NTSTATUS NTAPI CMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    PUNKNOWN chosen = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
        IsEqualGUID(iid, IID_IMiniportTopology)) {
        chosen = MiniportInterface();
    }
    return AnswerInterface(chosen, object);
}

STDMETHODIMP_(NTSTATUS) CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    // The port only reads the table; the interface's type predates const.
    *description = const_cast<PPCFILTER_DESCRIPTOR>(isCapture ? &CaptureTopologyDescriptor
                                                              : &RenderTopologyDescriptor);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS)
CMiniportTopology::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                         PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                         PVOID resultantFormat, PULONG resultantFormatLength) {
    // The bridge pins carry no stream: the port-class library's own intersection suffices.
    UNREFERENCED_PARAMETER(pinId);
    UNREFERENCED_PARAMETER(dataRange);
    UNREFERENCED_PARAMETER(matchingDataRange);
    UNREFERENCED_PARAMETER(outputBufferLength);
    UNREFERENCED_PARAMETER(resultantFormat);
    UNREFERENCED_PARAMETER(resultantFormatLength);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS)
CMiniportTopology::Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) {
    UNREFERENCED_PARAMETER(unknownAdapter);
    UNREFERENCED_PARAMETER(resourceList);
    this->port = port;
    port->AddRef();
    NTSTATUS status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&portEvents));
    if (!NT_SUCCESS(status)) {
        portEvents = nullptr; // without it the jack cannot report changes: Init fails
    }
    return status;
}

VOID CMiniportTopology::GenerateJackInfoChange() {
    if (portEvents == nullptr) {
        return;
    }
    portEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_PinCapsChange),
                                  KSEVENT_PINCAPS_JACKINFOCHANGE, TRUE, TopologyJackPin(isCapture),
                                  FALSE, AllNodes);
}

NTSTATUS NTAPI JackDescriptionHandler(PPCPROPERTY_REQUEST request) {
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return FillBasicSupport(request, KSPROPTYPESETID_General, NoPropertyType);
    }
    NTSTATUS status = CheckPropertySizes(request, sizeof(ULONG), sizeof(JackDescriptionValue));
    if (status != STATUS_SUCCESS) {
        return status;
    }
    CMiniportTopology* miniport = CMiniportTopology::FromMajorTarget(request->MajorTarget);
    ULONG pinId;
    RtlCopyMemory(&pinId, request->Instance, sizeof(pinId));
    if (pinId >= TopologyPinCount || pinId != TopologyJackPin(miniport->isCapture)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!(request->Verb & KSPROPERTY_TYPE_GET)) {
        return STATUS_SUCCESS;
    }
    JackDescriptionValue value;
    RtlZeroMemory(&value, sizeof(value));
    value.header.Size = sizeof(value);
    value.header.Count = 1;
    value.jack.ChannelMapping = 0;
    value.jack.Color = 0;
    value.jack.ConnectionType = eConnTypeOtherDigital;
    value.jack.GeoLocation = eGeoLocNotApplicable;
    value.jack.GenLocation = eGenLocSeparate;
    value.jack.PortConnection = ePortConnJack;
    value.jack.IsConnected = IsClientConnected(miniport->channel) ? TRUE : FALSE;
    RtlCopyMemory(request->Value, &value, sizeof(value));
    request->ValueSize = sizeof(value);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI JackEventHandler(PPCEVENT_REQUEST request) {
    CMiniportTopology* miniport = CMiniportTopology::FromMajorTarget(request->MajorTarget);
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry == nullptr || miniport->portEvents == nullptr) {
            return DriverGenericFailure;
        }
        miniport->portEvents->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
