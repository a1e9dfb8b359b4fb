// The WaveRT miniport of one direction: it offers exactly the device format that the
// direction's client chose, creates at most one stream and only while a client is connected,
// and raises the format-change event when the client changes the format.
#pragma once

#include "adapter/UnknownBase.h"
#include "audio/MiniportTopology.h"
#include "platform/AudioHeaders.h"

class CMiniportWaveRTStream;
class TransportChannel;

class CMiniportWaveRT : public UnknownBase, public IMiniportWaveRT, public IPowerNotify {
public:
    // isCapture: the filter is one of the system's capture filters (the Render channel's).
    CMiniportWaveRT(bool isCapture, TransportChannel* channel);
    ~CMiniportWaveRT() override;

    FORWARD_UNKNOWN_TO_OUTER

    NTSTATUS NTAPI NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                          ULONG outputBufferLength, PVOID resultantFormat,
                          PULONG resultantFormatLength) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVERT port) override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVERTSTREAM* stream, PPORTWAVERTSTREAM portStream, ULONG pin,
              BOOLEAN capture, PKSDATAFORMAT dataFormat) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceDescription(PDEVICE_DESCRIPTION description) override;

    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    // Has the audio stack renegotiate after a new device format (nothing before Init).
    VOID GenerateFormatChangeEvent();

    PUNKNOWN MiniportInterface() { return static_cast<IMiniportWaveRT*>(this); }
    static CMiniportWaveRT* FromMajorTarget(PUNKNOWN majorTarget) {
        return static_cast<CMiniportWaveRT*>(static_cast<IMiniportWaveRT*>(majorTarget));
    }

    TransportChannel* const channel;
    const bool isCapture;
    WCHAR subdeviceName[SubdeviceNameCapacity];
    PPORTWAVERT port;                     // counted; set by Init
    PPORTEVENTS portEvents;               // counted; set by Init when the port offers it
    CMiniportWaveRTStream* currentStream; // the live stream; set and cleared by the channel
    // How declaring the packet-size constraints went at start: STATUS_SUCCESS, or why the
    // filter is left to the audio engine's default periods.
    NTSTATUS packetConstraintsStatus;
};

NTSTATUS NTAPI ChannelConfigHandler(PPCPROPERTY_REQUEST request);
NTSTATUS NTAPI ProposedFormatHandler(PPCPROPERTY_REQUEST request);
NTSTATUS NTAPI FormatChangeEventHandler(PPCEVENT_REQUEST request);
