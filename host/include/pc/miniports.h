// The port and miniport interfaces of the topology and WaveRT ports, the port's event and
// power interfaces, and the library calls that create ports and register subdevices. Slot
// orders are Windows's: the port-class library calls through these tables.
#pragma once

struct IRegistryKey;
typedef IRegistryKey* PREGISTRYKEY;

// ---- Generic port and miniport ----
DECLARE_INTERFACE_(IMiniport, IUnknown) {
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE;
    STDMETHOD_(NTSTATUS, DataRangeIntersection)
    (THIS_ ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
     ULONG OutputBufferLength, PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

DECLARE_INTERFACE_(IPort, IUnknown) {
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
     PRESOURCELIST ResourceList) PURE;
    STDMETHOD_(NTSTATUS, GetDeviceProperty)
    (THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
     PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, NewRegistryKey)
    (THIS_ PREGISTRYKEY * OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
     ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
     PULONG Disposition) PURE;
};
typedef IPort* PPORT;

// ---- Events and power ----
DECLARE_INTERFACE_(IPortEvents, IUnknown) {
    STDMETHOD_(void, AddEventToEventList)(THIS_ PKSEVENT_ENTRY EventEntry) PURE;
    STDMETHOD_(void, GenerateEventList)
    (THIS_ GUID * Set, ULONG EventId, BOOL PinEvent, ULONG PinId, BOOL NodeEvent, ULONG NodeId)
        PURE;
};
typedef IPortEvents* PPORTEVENTS;

DECLARE_INTERFACE_(IPowerNotify, IUnknown) {
    STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

// ---- Topology ----
DECLARE_INTERFACE_(IPortTopology, IPort){};
typedef IPortTopology* PPORTTOPOLOGY;

DECLARE_INTERFACE_(IMiniportTopology, IMiniport) {
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology* PMINIPORTTOPOLOGY;

// ---- WaveRT ----
DECLARE_INTERFACE_(IPortWaveRT, IPort){};
typedef IPortWaveRT* PPORTWAVERT;

DECLARE_INTERFACE_(IPortWaveRTStream, IUnknown) {
    STDMETHOD_(PMDL, AllocatePagesForMdl)
    (THIS_ PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;
    STDMETHOD_(PMDL, AllocateContiguousPagesForMdl)
    (THIS_ PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) PURE;
    STDMETHOD_(PVOID, MapAllocatedPages)
    (THIS_ PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) PURE;
    STDMETHOD_(void, UnmapAllocatedPages)(THIS_ PVOID BaseAddress, PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(void, FreePagesFromMdl)(THIS_ PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(ULONG, GetPhysicalPagesCount)(THIS_ PMDL MemoryDescriptorList) PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, GetPhysicalPageAddress)
    (THIS_ PMDL MemoryDescriptorList, ULONG Index) PURE;
};
typedef IPortWaveRTStream* PPORTWAVERTSTREAM;

DECLARE_INTERFACE_(IMiniportWaveRTStream, IUnknown) {
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PKSAUDIO_POSITION Position) PURE;
    STDMETHOD_(NTSTATUS, AllocateAudioBuffer)
    (THIS_ ULONG RequestedSize, PMDL * AudioBufferMdl, ULONG * ActualSize,
     ULONG * OffsetFromFirstPage, MEMORY_CACHING_TYPE * CacheType) PURE;
    STDMETHOD_(void, FreeAudioBuffer)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE;
    STDMETHOD_(void, GetHWLatency)(THIS_ KSRTAUDIO_HWLATENCY * hwLatency) PURE;
    STDMETHOD_(NTSTATUS, GetPositionRegister)(THIS_ KSRTAUDIO_HWREGISTER * Register) PURE;
    STDMETHOD_(NTSTATUS, GetClockRegister)(THIS_ KSRTAUDIO_HWREGISTER * Register) PURE;
};
typedef IMiniportWaveRTStream* PMINIPORTWAVERTSTREAM;

DECLARE_INTERFACE_(IMiniportWaveRTStreamNotification, IMiniportWaveRTStream) {
    STDMETHOD_(NTSTATUS, AllocateBufferWithNotification)
    (THIS_ ULONG NotificationCount, ULONG RequestedSize, PMDL * AudioBufferMdl, ULONG * ActualSize,
     ULONG * OffsetFromFirstPage, MEMORY_CACHING_TYPE * CacheType) PURE;
    STDMETHOD_(void, FreeBufferWithNotification)(THIS_ PMDL AudioBufferMdl, ULONG BufferSize) PURE;
    STDMETHOD_(NTSTATUS, RegisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;
    STDMETHOD_(NTSTATUS, UnregisterNotificationEvent)(THIS_ PKEVENT NotificationEvent) PURE;
};
typedef IMiniportWaveRTStreamNotification* PMINIPORTWAVERTSTREAMNOTIFICATION;

DECLARE_INTERFACE_(IMiniportWaveRTInputStream, IUnknown) {
    STDMETHOD_(NTSTATUS, GetReadPacket)
    (THIS_ ULONG * PacketNumber, DWORD * Flags, ULONG64 * PerformanceCounterValue, BOOL * MoreData)
        PURE;
};
typedef IMiniportWaveRTInputStream* PMINIPORTWAVERTINPUTSTREAM;

DECLARE_INTERFACE_(IMiniportWaveRTOutputStream, IUnknown) {
    STDMETHOD_(NTSTATUS, SetWritePacket)
    (THIS_ ULONG PacketNumber, DWORD Flags, ULONG EosPacketLength) PURE;
    STDMETHOD_(NTSTATUS, GetOutputStreamPresentationPosition)
    (THIS_ KSAUDIO_PRESENTATION_POSITION * pPresentationPosition) PURE;
    STDMETHOD_(NTSTATUS, GetPacketCount)(THIS_ ULONG * pPacketCount) PURE;
};
typedef IMiniportWaveRTOutputStream* PMINIPORTWAVERTOUTPUTSTREAM;

DECLARE_INTERFACE_(IMiniportWaveRT, IMiniport) {
    STDMETHOD_(NTSTATUS, Init)
    (THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)
    (THIS_ PMINIPORTWAVERTSTREAM * Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin, BOOLEAN Capture,
     PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, GetDeviceDescription)(THIS_ PDEVICE_DESCRIPTION DeviceDescription) PURE;
};
typedef IMiniportWaveRT* PMINIPORTWAVERT;

// ---- Ports and subdevices ----
PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name,
                                                PUNKNOWN Unknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject,
                                                         PUNKNOWN FromUnknown, ULONG FromPin,
                                                         PUNKNOWN ToUnknown, ULONG ToPin);
