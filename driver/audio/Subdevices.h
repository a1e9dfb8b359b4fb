// The wiring of one direction's two filters: the topology and WaveRT subdevices (miniport,
// port, registration) and the physical connection between them.
#pragma once

#include "platform/AudioHeaders.h"

class TransportChannel;

// What the ports are initialised with: the adapter's device, identity and resources.
struct SubdeviceOwner {
    PDEVICE_OBJECT deviceObject;
    PUNKNOWN adapterUnknown; // the adapter's primary interface
    PRESOURCELIST resourceList;
};

// Each creates the miniport (the channel keeps one reference in its field, also when a later
// step fails), a port of its class, initialises the port with the miniport and registers it
// under the miniport's subdevice name. Returns the first failure or STATUS_SUCCESS.
NTSTATUS CreateTopologySubdevice(TransportChannel* channel, PIRP startIrp,
                                 const SubdeviceOwner& owner);
NTSTATUS CreateWaveSubdevice(TransportChannel* channel, PIRP startIrp, const SubdeviceOwner& owner);

// The bridge between the two filters: topology to WaveRT for the Render channel (the system's
// capture path), WaveRT to topology for the Capture channel. Both subdevices exist.
NTSTATUS RegisterChannelConnection(TransportChannel* channel, const SubdeviceOwner& owner);
