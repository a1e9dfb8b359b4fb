// Subdevice creation and the physical connection of one direction's filters.
#include "audio/Subdevices.h"

#include "audio/MiniportTopology.h"
#include "audio/MiniportWaveRT.h"
#include "audio/TopologyDescriptors.h"
#include "audio/WaveRTDescriptors.h"
#include "transport/TransportChannel.h"

namespace {

// The bridge pins of the physical connections, per direction of the system's filters.
static_assert(CaptureTopologyBridgePin == 0 && RenderTopologyBridgePin == 1 && WaveBridgePin == 1,
              "the bridge pins that the connections name");

template <typename Miniport>
NTSTATUS CreateSubdevice(TransportChannel* channel, Miniport* TransportChannel::*field,
                         REFCLSID portClass, PIRP startIrp, const SubdeviceOwner& owner) {
    // The channel's render flag is the filters' capture flag: the client's Render file feeds
    // the system's capture filters.
    Miniport* miniport = new Miniport(channel->renderFlag, channel);
    channel->*field = miniport;
    if (miniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    miniport->MiniportInterface()->AddRef(); // the channel's reference

    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = port->Init(owner.deviceObject, startIrp, miniport->MiniportInterface(),
                        owner.adapterUnknown, owner.resourceList);
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(owner.deviceObject, miniport->subdeviceName, port);
    }
    port->Release(); // a registered port is held by the port-class library
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

} // namespace

NTSTATUS CreateTopologySubdevice(TransportChannel* channel, PIRP startIrp,
                                 const SubdeviceOwner& owner) {
    return CreateSubdevice(channel, &TransportChannel::topologyMiniport, CLSID_PortTopology,
                           startIrp, owner);
}

NTSTATUS CreateWaveSubdevice(TransportChannel* channel, PIRP startIrp,
                             const SubdeviceOwner& owner) {
    return CreateSubdevice(channel, &TransportChannel::waveMiniport, CLSID_PortWaveRT, startIrp,
                           owner);
}

NTSTATUS RegisterChannelConnection(TransportChannel* channel, const SubdeviceOwner& owner) {
    PUNKNOWN topologyPort = channel->topologyMiniport->port;
    PUNKNOWN wavePort = channel->waveMiniport->port;
    if (channel->renderFlag) {
        return PcRegisterPhysicalConnection(owner.deviceObject, topologyPort,
                                            CaptureTopologyBridgePin, wavePort, WaveBridgePin);
    }
    return PcRegisterPhysicalConnection(owner.deviceObject, wavePort, WaveBridgePin, topologyPort,
                                        RenderTopologyBridgePin);
}
