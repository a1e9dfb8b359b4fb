// Subdevice creation and the physical connection of one direction's filters.
#include "audio/Subdevices.h"

#include "audio/MiniportTopology.h"
#include "audio/MiniportWaveRT.h"
#include "audio/PacketConstraints.h"
#include "audio/TopologyDescriptors.h"
#include "audio/WaveRTDescriptors.h"
#include "transport/TransportChannel.h"

namespace {

// The bridge pins of the physical connections, per direction of the system's filters.
static_assert(CaptureTopologyBridgePin == 0 && RenderTopologyBridgePin == 1 && WaveBridgePin == 1,
              "the bridge pins that the connections name");

// IoSetDeviceInterfacePropertyData came with Windows 8: an import of it would keep the image
// from loading on Vista and 7, where shared mode has no small periods anyway.
typedef NTSTATUS(NTAPI* SetInterfacePropertyRoutine)(PUNICODE_STRING SymbolicLinkName,
                                                     const DEVPROPKEY* PropertyKey, LCID Lcid,
                                                     ULONG Flags, DEVPROPTYPE Type, ULONG Size,
                                                     PVOID Data);

// Sets the packet-size constraints on every interface of the filter (one per category of its
// descriptor): the audio engine reads them from the interface it builds the endpoint from.
// Registering an interface that exists returns its link again, so these are the very
// interfaces PcRegisterSubdevice enables next.
NTSTATUS DeclarePacketConstraints(PDEVICE_OBJECT deviceObject, CMiniportWaveRT* miniport) {
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, L"IoSetDeviceInterfacePropertyData");
    const auto setProperty =
        reinterpret_cast<SetInterfacePropertyRoutine>(MmGetSystemRoutineAddress(&routineName));
    if (setProperty == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    NTSTATUS status = miniport->GetDescription(&descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, miniport->subdeviceName);
    PDEVICE_OBJECT physicalDevice = IoGetDeviceAttachmentBaseRef(deviceObject);
    for (ULONG i = 0; i < descriptor->CategoryCount && NT_SUCCESS(status); ++i) {
        UNICODE_STRING link = {};
        status = IoRegisterDeviceInterface(physicalDevice, &descriptor->Categories[i], &reference,
                                           &link);
        if (NT_SUCCESS(status)) {
            status =
                setProperty(&link, &DEVPKEY_KsAudio_PacketSize_Constraints2, LOCALE_NEUTRAL, 0,
                            DEVPROP_TYPE_BINARY, sizeof(WavePacketConstraints),
                            const_cast<KSAUDIO_PACKETSIZE_CONSTRAINTS2*>(&WavePacketConstraints));
            RtlFreeUnicodeString(&link);
        }
    }
    ObDereferenceObject(physicalDevice);
    return status;
}

// What a subdevice needs between its port's Init and its registration. Only the WaveRT filters
// stream; a failed declaration is kept for diagnosis and the device still starts, its streams
// at the engine's default periods.
void BeforeRegistration(CMiniportTopology*, const SubdeviceOwner&) {}
void BeforeRegistration(CMiniportWaveRT* miniport, const SubdeviceOwner& owner) {
    miniport->packetConstraintsStatus = DeclarePacketConstraints(owner.deviceObject, miniport);
}

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
        BeforeRegistration(miniport, owner);
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
