// The topology miniport: the jack end of one direction's audio path. Its jack reports whether
// the direction's client is connected, and raises the jack-information change when that
// changes.
#pragma once

#include "adapter/UnknownBase.h"
#include "platform/AudioHeaders.h"

class TransportChannel;

// Characters of a subdevice name buffer, terminator included.
const ULONG SubdeviceNameCapacity = 16;

class CMiniportTopology : public UnknownBase, public IMiniportTopology {
public:
    // isCapture: the filter is one of the system's capture filters (the Render channel's).
    CMiniportTopology(bool isCapture, TransportChannel* channel);
    ~CMiniportTopology() override;

    FORWARD_UNKNOWN_TO_OUTER

    NTSTATUS NTAPI NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                          ULONG outputBufferLength, PVOID resultantFormat,
                          PULONG resultantFormatLength) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) override;

    // Tells the port's event list that the jack's state changed (nothing before Init).
    VOID GenerateJackInfoChange();

    // The interface the port-class library knows the miniport by (a request's major target).
    PUNKNOWN MiniportInterface() { return static_cast<IMiniportTopology*>(this); }
    static CMiniportTopology* FromMajorTarget(PUNKNOWN majorTarget) {
        return static_cast<CMiniportTopology*>(static_cast<IMiniportTopology*>(majorTarget));
    }

    TransportChannel* const channel;
    const bool isCapture;
    WCHAR subdeviceName[SubdeviceNameCapacity];
    PPORTTOPOLOGY port;     // counted; set by Init
    PPORTEVENTS portEvents; // counted; set by Init when the port offers it
};

NTSTATUS NTAPI JackDescriptionHandler(PPCPROPERTY_REQUEST request);
NTSTATUS NTAPI JackEventHandler(PPCEVENT_REQUEST request);

// The driver's own generic failure status.
const NTSTATUS DriverGenericFailure = static_cast<NTSTATUS>(0xF000FFFF);
