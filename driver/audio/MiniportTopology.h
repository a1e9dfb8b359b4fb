// The topology miniport: the jack end of one direction's audio path. Its jack reports whether
// the direction's client is connected, and raises the jack-information change when that
// changes.
#pragma once

#include "audio/MiniportBase.h"
#include "platform/AudioHeaders.h"

class CMiniportTopology : public MiniportBase, public IMiniportTopology {
public:
    // isCapture: the filter is one of the system's capture filters (the Render channel's).
    CMiniportTopology(bool isCapture, TransportChannel* channel);

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
};

NTSTATUS NTAPI JackDescriptionHandler(PPCPROPERTY_REQUEST request);
NTSTATUS NTAPI JackEventHandler(PPCEVENT_REQUEST request);
