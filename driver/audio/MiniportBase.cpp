// The miniports' shared construction, Init and pin events.
#include "audio/MiniportBase.h"

namespace {
const ULONG AllNodes = 0xFFFFFFFF;
} // namespace

MiniportBase::MiniportBase(bool isCapture, TransportChannel* channel)
    : UnknownBase(nullptr), channel(channel), isCapture(isCapture), subdeviceName{}, port(nullptr),
      portEvents(nullptr) {}

MiniportBase::~MiniportBase() {
    if (portEvents != nullptr) {
        portEvents->Release();
        portEvents = nullptr;
    }
    if (port != nullptr) {
        port->Release();
        port = nullptr;
    }
}

NTSTATUS MiniportBase::InitPort(PPORT initPort) {
    port = initPort;
    port->AddRef();
    NTSTATUS status = port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&portEvents));
    if (!NT_SUCCESS(status)) {
        portEvents = nullptr;
    }
    return status;
}

VOID MiniportBase::GeneratePinEvent(ULONG eventId, ULONG pin) {
    if (portEvents == nullptr) {
        return;
    }
    portEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_PinCapsChange), eventId, TRUE,
                                  pin, FALSE, AllNodes);
}

NTSTATUS MiniportBase::HandlePinEvent(PPCEVENT_REQUEST request) {
    switch (request->Verb) {
    case PCEVENT_VERB_ADD:
        if (request->EventEntry == nullptr || portEvents == nullptr) {
            return DriverGenericFailure;
        }
        portEvents->AddEventToEventList(request->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
