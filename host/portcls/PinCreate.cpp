// Creating a WaveRT pin under an open filter: the create name taken apart, the connection checked
// against the pin's descriptor, the pin's instance taken and the miniport asked for its stream.
#include <cstring>

#include "WaveRTPin.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/Irql.h"

namespace host {

namespace {

const std::u16string PinName = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";

bool GuidMatches(const GUID& a, const GUID& b, const GUID& wildcard) {
    return IsEqualGUID(a, b) || IsEqualGUID(a, wildcard) || IsEqualGUID(b, wildcard);
}

bool SameIdentifier(const KSIDENTIFIER& a, const KSIDENTIFIER& b) {
    return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id && a.Flags == b.Flags;
}

// A pin that lists no interfaces (mediums) speaks the standard one.
bool Offers(const KSIDENTIFIER* list, ULONG count, const KSIDENTIFIER& standard,
            const KSIDENTIFIER& asked) {
    if (count == 0) {
        return SameIdentifier(asked, standard);
    }
    for (ULONG i = 0; i < count; ++i) {
        if (SameIdentifier(asked, list[i])) {
            return true;
        }
    }
    return false;
}

} // namespace

NTSTATUS ParsePinCreate(const UNICODE_STRING& name, PinCreateRequest* request) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.Buffer);
    size_t length = name.Length;
    if (bytes != nullptr && length >= sizeof(WCHAR) && name.Buffer[0] == L'\\') {
        bytes += sizeof(WCHAR);
        length -= sizeof(WCHAR);
    }
    const size_t prefix = (PinName.size() + 1) * sizeof(WCHAR);
    if (bytes == nullptr || length < prefix) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string text(PinName.size() + 1, u'\0');
    std::memcpy(&text[0], bytes, prefix);
    if (!EqualNoCase(text.substr(0, PinName.size()), PinName) || text.back() != u'\\') {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bytes += prefix;
    length -= prefix;
    KSDATAFORMAT header;
    if (length < sizeof(KSPIN_CONNECT) + sizeof(header)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(&request->connect, bytes, sizeof(KSPIN_CONNECT));
    bytes += sizeof(KSPIN_CONNECT);
    length -= sizeof(KSPIN_CONNECT);
    std::memcpy(&header, bytes, sizeof(header));
    // The name is made of whole characters, so a format of odd size carries one pad byte.
    if (header.FormatSize < sizeof(header) || header.FormatSize > length ||
        length - header.FormatSize > 1) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    request->format.assign((header.FormatSize + 7) / 8, 0);
    std::memcpy(request->format.data(), bytes, header.FormatSize);
    return STATUS_SUCCESS;
}

NTSTATUS ValidatePinConnect(const PCFILTER_DESCRIPTOR& descriptor,
                            const PinCreateRequest& request) {
    const KSPIN_CONNECT& connect = request.connect;
    if (connect.PinId >= descriptor.PinCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& pin = descriptor.Pins[connect.PinId].KsPinDescriptor;
    if (pin.Communication != KSPIN_COMMUNICATION_SINK &&
        pin.Communication != KSPIN_COMMUNICATION_SOURCE &&
        pin.Communication != KSPIN_COMMUNICATION_BOTH) {
        return STATUS_INVALID_DEVICE_REQUEST; // a bridge or an unconnectable pin has no instances
    }
    if (connect.PinToHandle != nullptr) {
        return STATUS_INVALID_PARAMETER; // the library connects no pin to another
    }
    const KSIDENTIFIER standardInterface{
        {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}};
    const KSIDENTIFIER standardMedium{{KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0}};
    if (!Offers(pin.Interfaces, pin.InterfacesCount, standardInterface, connect.Interface) ||
        !Offers(pin.Mediums, pin.MediumsCount, standardMedium, connect.Medium)) {
        return STATUS_NO_MATCH;
    }
    const KSDATAFORMAT& format = request.Format();
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        const KSDATARANGE& range = *pin.DataRanges[i];
        if (GuidMatches(format.MajorFormat, range.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD) &&
            GuidMatches(format.SubFormat, range.SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD) &&
            GuidMatches(format.Specifier, range.Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS NewPinFile(PortBase* port, PIRP irp, std::unique_ptr<PortClassFile>* file) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "a pin create");
    if (!port->IsBound()) {
        return STATUS_DEVICE_NOT_READY;
    }
    // Only the WaveRT port makes streams; a topology filter has no pin that can be created.
    PVOID waveRT = nullptr;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPortWaveRT, &waveRT)) || waveRT == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    static_cast<IPortWaveRT*>(waveRT)->Release();

    PinCreateRequest request;
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = ParsePinCreate(fileObject->FileName, &request);
    if (NT_SUCCESS(status)) {
        status = ValidatePinConnect(*port->Descriptor(), request);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG pinId = request.connect.PinId;
    const PCPIN_DESCRIPTOR& pin = port->Descriptor()->Pins[pinId];
    if (!port->TakePinInstance(pinId, pin.MaxFilterInstanceCount)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    IPortWaveRTStream* portStream = NewPortWaveRTStream();
    PMINIPORTWAVERTSTREAM stream = nullptr;
    const BOOLEAN capture = pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT ? TRUE : FALSE;
    // The miniport sees the port's copy, as it would the copy kernel streaming keeps.
    status = static_cast<IMiniportWaveRT*>(port->Miniport())
                 ->NewStream(&stream, portStream, pinId, capture, request.MutableFormat());
    if (NT_SUCCESS(status) && stream == nullptr) {
        Machine::Current().Get<IoManager>().Report(
            "IMiniportWaveRT::NewStream succeeded without a stream");
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        portStream->Release();
        port->ReturnPinInstance(pinId);
        return status;
    }
    const ULONG formatSize = request.Format().FormatSize;
    *file = std::make_unique<PinFile>(port, pinId, stream, portStream, std::move(request.format),
                                      formatSize);
    return STATUS_SUCCESS;
}

} // namespace host
