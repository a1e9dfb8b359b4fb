// The audio objects of one direction: its topology and WaveRT subdevices (miniport, port,
// registration), the physical connection between them, and the miniport references the
// direction keeps. The channel reaches them only through FilterEvents.
#pragma once

#include "platform/AudioHeaders.h"
#include "transport/ChannelListeners.h"

class CMiniportTopology;
class CMiniportWaveRT;
class TransportChannel;

// What the ports are initialised with: the adapter's device, identity and resources.
struct SubdeviceOwner {
    PDEVICE_OBJECT deviceObject;
    PUNKNOWN adapterUnknown; // the adapter's primary interface
    PRESOURCELIST resourceList;
};

class DirectionFilters final : public FilterEvents {
public:
    // channel: the direction's channel, which the miniports serve (only its address is kept).
    explicit DirectionFilters(TransportChannel* channel);
    // Releases the topology miniport first, then the WaveRT miniport.
    ~DirectionFilters();
    DirectionFilters(const DirectionFilters&) = delete;
    DirectionFilters& operator=(const DirectionFilters&) = delete;

    // Creates and registers the topology subdevice, then the WaveRT subdevice, then the bridge
    // between them. The first failure is returned; what was built stays until destruction.
    NTSTATUS Create(PIRP startIrp, const SubdeviceOwner& owner);

    VOID JackChanged() override;
    VOID FormatChanged() override;

    TransportChannel* const channel;
    CMiniportTopology* topologyMiniport; // one counted reference, from device start
    CMiniportWaveRT* waveMiniport;       // one counted reference, from device start
};
