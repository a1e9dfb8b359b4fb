// What the topology and WaveRT miniports share: the direction and channel they serve, the
// subdevice name they are registered under, the port and its event list, and the pin event
// through which they tell the audio stack of a change.
#pragma once

#include "platform/AudioHeaders.h"
#include "support/UnknownBase.h"

class TransportChannel;

// Characters of a subdevice name buffer, terminator included.
const ULONG SubdeviceNameCapacity = 16;

// The driver's own generic failure status.
const NTSTATUS DriverGenericFailure = static_cast<NTSTATUS>(0xF000FFFF);

class MiniportBase : public UnknownBase {
public:
    // Adds, removes or answers support for a pin event of the miniport's port (the automation
    // tables' event handlers end here). Adding needs the port's event list.
    NTSTATUS HandlePinEvent(PPCEVENT_REQUEST request);

    TransportChannel* const channel;
    // The filter is one of the system's capture filters (the Render channel's).
    const bool isCapture;
    // Written by each miniport's constructor beside its descriptor choice, where the INF check
    // reads both.
    WCHAR subdeviceName[SubdeviceNameCapacity];
    PPORT port;             // counted; set by Init
    PPORTEVENTS portEvents; // counted; set by Init

protected:
    MiniportBase(bool isCapture, TransportChannel* channel);
    // Releases the event list, then the port.
    ~MiniportBase() override;

    // The shared part of both miniports' Init: keeps the port and its event list. Without the
    // event list no change could reach the audio stack, so Init fails.
    NTSTATUS InitPort(PPORT initPort);
    // Raises the pin-capabilities event eventId on pin (nothing before Init).
    VOID GeneratePinEvent(ULONG eventId, ULONG pin);
};
