// mingw-w64 only: the audio declarations its 10.0 headers lack (RT-audio structures, the WaveRT
// packet interfaces, IAdapterPowerManagement2, newer constants and GUIDs), with Windows's names,
// values and layouts. Enumerators that Windows adds to an enum mingw already has become typed
// constants of that enum, so switch statements and table initialisers read the same.
#pragma once

// ---- RT-audio property requests and values (KSPROPSETID_RtAudio) ----

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
} KSRTAUDIO_BUFFER_PROPERTY, *PKSRTAUDIO_BUFFER_PROPERTY;

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
    ULONG NotificationCount;
} KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, *PKSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION;

typedef struct {
    PVOID BufferAddress;
    ULONG ActualBufferSize;
    BOOL CallMemoryBarrier;
} KSRTAUDIO_BUFFER, *PKSRTAUDIO_BUFFER;

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
} KSRTAUDIO_HWREGISTER_PROPERTY, *PKSRTAUDIO_HWREGISTER_PROPERTY;

typedef struct {
    KSPROPERTY Property;
    HANDLE NotificationEvent;
} KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, *PKSRTAUDIO_NOTIFICATION_EVENT_PROPERTY;

typedef struct {
    ULONG PacketNumber;
    ULONG Flags;
    ULONG64 PerformanceCounterValue;
    BOOL MoreData;
} KSRTAUDIO_GETREADPACKET_INFO, *PKSRTAUDIO_GETREADPACKET_INFO;

typedef struct {
    ULONG PacketNumber;
    ULONG Flags;
    ULONG EosPacketLength;
} KSRTAUDIO_SETWRITEPACKET_INFO, *PKSRTAUDIO_SETWRITEPACKET_INFO;

typedef struct {
    KSPROPERTY Property;
    PVOID BaseAddress;
} KSRTAUDIO_PACKETVREGISTER_PROPERTY, *PKSRTAUDIO_PACKETVREGISTER_PROPERTY;

typedef struct {
    ULONG64* CompletedPacketCount;
    ULONG64* CompletedPacketQPC;
    ULONG64* CompletedPacketHash;
} KSRTAUDIO_PACKETVREGISTER, *PKSRTAUDIO_PACKETVREGISTER;

typedef struct {
    UINT64 u64PositionInBlocks;
    UINT64 u64QPCPosition;
} KSAUDIO_PRESENTATION_POSITION, *PKSAUDIO_PRESENTATION_POSITION;

typedef struct {
    GUID ProcessingMode;
    ULONG SamplesPerProcessingPacket;
    ULONG ProcessingPacketDurationInHns;
} KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT, *PKSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT;

typedef struct {
    ULONG MinPacketPeriodInHns;
    ULONG PacketSizeFileAlignment;
    ULONG Reserved;
    ULONG NumProcessingModeConstraints;
    KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT ProcessingModeConstraints[ANYSIZE_ARRAY];
} KSAUDIO_PACKETSIZE_CONSTRAINTS, *PKSAUDIO_PACKETSIZE_CONSTRAINTS;

typedef struct {
    ULONG MinPacketPeriodInHns;
    ULONG PacketSizeFileAlignment;
    ULONG MaxPacketSizeInBytes;
    ULONG NumProcessingModeConstraints;
    KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT ProcessingModeConstraints[ANYSIZE_ARRAY];
} KSAUDIO_PACKETSIZE_CONSTRAINTS2, *PKSAUDIO_PACKETSIZE_CONSTRAINTS2;

// ---- Enumerations mingw-w64 lacks entirely ----

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2 = 2,
    KSPROPERTY_JACK_SINK_INFO = 3,
    KSPROPERTY_JACK_CONTAINERID = 4
} KSPROPERTY_JACK;

typedef enum {
    KSEVENT_PINCAPS_FORMATCHANGE = 0,
    KSEVENT_PINCAPS_JACKINFOCHANGE = 1
} KSEVENT_PINCAPS_CHANGENOTIFICATIONS;

typedef enum { KSPROPERTY_AUDIOSIGNALPROCESSING_MODES = 0 } KSPROPERTY_AUDIOSIGNALPROCESSING;

typedef enum {
    KSPROPERTY_AUDIOENGINE_LFXENABLE = 0,
    KSPROPERTY_AUDIOENGINE_GFXENABLE = 1,
    KSPROPERTY_AUDIOENGINE_MIXFORMAT = 2,
    KSPROPERTY_AUDIOENGINE_DEVICEFORMAT = 4,
    KSPROPERTY_AUDIOENGINE_SUPPORTEDDEVICEFORMATS = 5,
    KSPROPERTY_AUDIOENGINE_DESCRIPTOR = 6,
    KSPROPERTY_AUDIOENGINE_BUFFER_SIZE_RANGE = 7,
    KSPROPERTY_AUDIOENGINE_LOOPBACK_PROTECTION = 8,
    KSPROPERTY_AUDIOENGINE_VOLUMELEVEL = 9
} KSPROPERTY_AUDIOENGINE;

typedef enum {
    PcExitLatencyInstant = 0,
    PcExitLatencyFast = 1,
    PcExitLatencyResponsive = 2
} PC_EXIT_LATENCY,
    *PPC_EXIT_LATENCY;

// ---- Enumerators Windows adds to enums mingw-w64 has ----

constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_BUFFER = KSPROPERTY_RTAUDIO(1);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_HWLATENCY = KSPROPERTY_RTAUDIO(2);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_POSITIONREGISTER = KSPROPERTY_RTAUDIO(3);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_CLOCKREGISTER = KSPROPERTY_RTAUDIO(4);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION = KSPROPERTY_RTAUDIO(5);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT = KSPROPERTY_RTAUDIO(6);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT =
    KSPROPERTY_RTAUDIO(7);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT = KSPROPERTY_RTAUDIO(8);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_PACKETCOUNT = KSPROPERTY_RTAUDIO(9);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_PRESENTATION_POSITION = KSPROPERTY_RTAUDIO(10);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_GETREADPACKET = KSPROPERTY_RTAUDIO(11);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_SETWRITEPACKET = KSPROPERTY_RTAUDIO(12);
constexpr KSPROPERTY_RTAUDIO KSPROPERTY_RTAUDIO_PACKETVREGISTER = KSPROPERTY_RTAUDIO(13);

constexpr KSPROPERTY_PIN KSPROPERTY_PIN_PROPOSEDATAFORMAT2 = KSPROPERTY_PIN(15);
constexpr KSPROPERTY_PIN KSPROPERTY_PIN_MODEDATAFORMATS = KSPROPERTY_PIN(16);

constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEQ_MAX_BANDS = KSPROPERTY_AUDIO(41);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEQ_NUM_BANDS = KSPROPERTY_AUDIO(42);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEQ_BAND_CENTER_FREQ = KSPROPERTY_AUDIO(43);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEQ_BAND_Q_FACTOR = KSPROPERTY_AUDIO(44);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEQ_BAND_LEVEL = KSPROPERTY_AUDIO(45);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_CHORUS_MODULATION_RATE = KSPROPERTY_AUDIO(46);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_CHORUS_MODULATION_DEPTH = KSPROPERTY_AUDIO(47);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_REVERB_TIME = KSPROPERTY_AUDIO(48);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_REVERB_DELAY_FEEDBACK = KSPROPERTY_AUDIO(49);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_POSITIONEX = KSPROPERTY_AUDIO(50);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_MIC_ARRAY_GEOMETRY = KSPROPERTY_AUDIO(51);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PRESENTATION_POSITION = KSPROPERTY_AUDIO(52);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_WAVERT_CURRENT_WRITE_POSITION = KSPROPERTY_AUDIO(53);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_LINEAR_BUFFER_POSITION = KSPROPERTY_AUDIO(54);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_PEAKMETER2 = KSPROPERTY_AUDIO(55);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_WAVERT_CURRENT_WRITE_LASTBUFFER_POSITION =
    KSPROPERTY_AUDIO(56);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_VOLUMELIMIT_ENGAGED = KSPROPERTY_AUDIO(57);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_MIC_SENSITIVITY = KSPROPERTY_AUDIO(58);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_MIC_SNR = KSPROPERTY_AUDIO(59);
constexpr KSPROPERTY_AUDIO KSPROPERTY_AUDIO_MIC_SENSITIVITY2 = KSPROPERTY_AUDIO(60);

// mingw-w64 spells value 14 eGeoLocReserved5.
constexpr EPcxGeoLocation eGeoLocNotApplicable = EPcxGeoLocation(14);
constexpr EPcxGeoLocation EPcxGeoLocation_enum_count = EPcxGeoLocation(16);
constexpr EPcxGenLocation EPcxGenLocation_enum_count = EPcxGenLocation(4);

// ---- Flag values ----

#define KSPROPERTY_TYPE_GETPAYLOADSIZE 0x00000004
#define KSPROPERTY_TYPE_HIGHPRIORITY 0x08000000
#define KSPROPERTY_TYPE_FSFILTERSCOPE 0x40000000
#define KSPROPERTY_TYPE_COPYPAYLOAD 0x80000000

#define KSSTREAM_HEADER_OPTIONSF_METADATA 0x00001000
#define KSSTREAM_HEADER_OPTIONSF_ENDOFPHOTOSEQUENCE 0x00002000
#define KSSTREAM_HEADER_OPTIONSF_FRAMEINFO 0x00004000
#define KSSTREAM_HEADER_OPTIONSF_PERSIST_SAMPLE 0x00008000
#define KSSTREAM_HEADER_OPTIONSF_SAMPLE_PERSISTED 0x00010000
#define KSSTREAM_HEADER_OPTIONSF_SECUREBUFFERTRANSFER 0x00040000

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

// ---- Interfaces (slot order as portcls.sys calls them) ----

#undef INTERFACE
#define INTERFACE IMiniportWaveRTInputStream

DECLARE_INTERFACE_(IMiniportWaveRTInputStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(NTSTATUS, GetReadPacket)
    (THIS_ ULONG * PacketNumber, DWORD * Flags, ULONG64 * PerformanceCounterValue, BOOL * MoreData)
        PURE;
};
typedef IMiniportWaveRTInputStream* PMINIPORTWAVERTINPUTSTREAM;

#define IMP_IMiniportWaveRTInputStream                                                             \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    GetReadPacket(ULONG* PacketNumber, DWORD* Flags, ULONG64* PerformanceCounterValue,             \
                  BOOL* MoreData)

#undef INTERFACE
#define INTERFACE IMiniportWaveRTOutputStream

DECLARE_INTERFACE_(IMiniportWaveRTOutputStream, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(NTSTATUS, SetWritePacket)
    (THIS_ ULONG PacketNumber, DWORD Flags, ULONG EosPacketLength) PURE;
    STDMETHOD_(NTSTATUS, GetOutputStreamPresentationPosition)
    (THIS_ KSAUDIO_PRESENTATION_POSITION * pPresentationPosition) PURE;
    STDMETHOD_(NTSTATUS, GetPacketCount)(THIS_ ULONG * pPacketCount) PURE;
};
typedef IMiniportWaveRTOutputStream* PMINIPORTWAVERTOUTPUTSTREAM;

#define IMP_IMiniportWaveRTOutputStream                                                            \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    SetWritePacket(ULONG PacketNumber, DWORD Flags, ULONG EosPacketLength);                        \
    STDMETHODIMP_(NTSTATUS)                                                                        \
    GetOutputStreamPresentationPosition(KSAUDIO_PRESENTATION_POSITION* pPresentationPosition);     \
    STDMETHODIMP_(NTSTATUS) GetPacketCount(ULONG* pPacketCount)

// Extends IAdapterPowerManagement: slots 3-5 are its methods, so one object answers both.
#undef INTERFACE
#define INTERFACE IAdapterPowerManagement2

DECLARE_INTERFACE_(IAdapterPowerManagement2, IAdapterPowerManagement) {
    DEFINE_ABSTRACT_UNKNOWN()

    STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
    STDMETHOD_(void, PowerChangeState2)
    (THIS_ DEVICE_POWER_STATE NewDeviceState, SYSTEM_POWER_STATE NewSystemState) PURE;
};
typedef IAdapterPowerManagement2* PADAPTERPOWERMANAGEMENT2;

#define IMP_IAdapterPowerManagement2                                                               \
    IMP_IAdapterPowerManagement;                                                                   \
    STDMETHODIMP_(void)                                                                            \
    PowerChangeState2(DEVICE_POWER_STATE NewDeviceState, SYSTEM_POWER_STATE NewSystemState)

#undef INTERFACE

// ---- GUIDs no mingw-w64 header declares ----

// Declared by mingw's portcls.h only for targets before Vista; the GUID names table lists it.
#if (NTDDI_VERSION >= NTDDI_LONGHORN)
DEFINE_GUID(IID_IDmaChannelSlave, 0x22c6ac62, 0x851b, 0x11d0, 0x9a, 0x7f, 0x00, 0xaa, 0x00, 0x38,
            0xac, 0xfe);
#endif
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL, 0x00000092, 0x0000, 0x0010, 0x80, 0x00,
            0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO, 0x00000164, 0x0000, 0x0010, 0x80, 0x00, 0x00,
            0xaa, 0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(IID_IAdapterPowerManagement2, 0xe0f92e5d, 0x67f5, 0x48ee, 0xb5, 0x7a, 0x7d, 0x1e, 0x90,
            0xc5, 0xf4, 0x3d);
DEFINE_GUID(IID_IAdapterPowerManagement3, 0xa8c7303e, 0xf80c, 0x4bc9, 0xb2, 0xe3, 0xfb, 0x2d, 0x08,
            0xbe, 0x92, 0x0f);
DEFINE_GUID(IID_IWaveCyclicClock, 0xdec1ec78, 0x419a, 0x11d1, 0xad, 0x09, 0x00, 0xc0, 0x4f, 0xb9,
            0x1b, 0xc4);
DEFINE_GUID(IID_IWavePciClock, 0xd5d7a256, 0x5d10, 0x11d1, 0xad, 0xae, 0x00, 0xc0, 0x4f, 0xb9, 0x1b,
            0xc4);
DEFINE_GUID(IID_IPreFetchOffset, 0x7000f480, 0xed44, 0x4e8b, 0xb3, 0x8a, 0x41, 0x2f, 0x8d, 0x7a,
            0x50, 0x4d);
DEFINE_GUID(IID_IMusicTechnology, 0x80396c3c, 0xcbcb, 0x409b, 0x9f, 0x65, 0x4f, 0x1e, 0x74, 0x67,
            0xcd, 0xaf);
DEFINE_GUID(IID_IPortWMIRegistration, 0xd80b18e7, 0x804c, 0x4e1e, 0x82, 0xd3, 0x24, 0x61, 0xec,
            0x06, 0xe7, 0xc7);
DEFINE_GUID(IID_IPortClsSubdeviceEx, 0xc3d5e80c, 0x7f55, 0x40c5, 0x88, 0xb2, 0x62, 0x10, 0xd0, 0xcb,
            0x2b, 0x59);
DEFINE_GUID(IID_IPortClsPower, 0x47ba0351, 0xbc4b, 0x4869, 0x81, 0x34, 0xb7, 0x4f, 0xe1, 0x78, 0x52,
            0xd8);
DEFINE_GUID(IID_IPinName, 0x29cc9ab1, 0xe89d, 0x413c, 0xb6, 0xb2, 0xf6, 0xd5, 0x00, 0x05, 0xd0,
            0x63);
DEFINE_GUID(IID_IMiniportAudioSignalProcessing, 0xb532678c, 0xbe50, 0x472d, 0x99, 0x73, 0x8a, 0x6f,
            0x16, 0x59, 0x49, 0x89);
DEFINE_GUID(IID_IMiniportAudioEngineNode, 0x2ebf536c, 0xef57, 0x4c64, 0xbe, 0xdc, 0x25, 0xc1, 0xa6,
            0xd6, 0x68, 0xe6);
DEFINE_GUID(IID_IMiniportStreamAudioEngineNode, 0xbd6eeb4b, 0xe6e5, 0x40fd, 0x8d, 0x5a, 0x5b, 0x1d,
            0xcd, 0xe2, 0x0c, 0x42);
DEFINE_GUID(IID_IMiniportStreamAudioEngineNode2, 0xaeb7f86a, 0x6cba, 0x44cf, 0xa2, 0xd2, 0xb3, 0xfa,
            0x5b, 0x69, 0x68, 0x17);
DEFINE_GUID(IID_IMiniportWaveRTInputStream, 0xcd8e756a, 0x5fc7, 0x4624, 0x98, 0x4b, 0x2a, 0xf0,
            0x29, 0x25, 0xb9, 0x1f);
DEFINE_GUID(IID_IMiniportWaveRTOutputStream, 0x831fc7bc, 0x6347, 0x44bc, 0xb4, 0x7b, 0xc0, 0xc6,
            0x57, 0xb5, 0xbf, 0x73);
DEFINE_GUID(IID_IPortClsStreamResourceManager, 0xe1cd9915, 0xcab1, 0x4103, 0xbb, 0x2f, 0x7d, 0xc0,
            0x9c, 0x9b, 0xe9, 0x42);
DEFINE_GUID(IID_IPortClsStreamResourceManager2, 0x0d500bae, 0xd565, 0x469d, 0xa0, 0xe2, 0xf2, 0x83,
            0x76, 0x0d, 0x71, 0x48);
DEFINE_GUID(IID_IAdapterPnpManagement, 0x706f2368, 0x4086, 0x47f5, 0xb9, 0x13, 0x57, 0xb7, 0x6e,
            0xed, 0x1a, 0x32);
DEFINE_GUID(IID_IMiniportPnpNotify, 0x6b735365, 0x9487, 0x464c, 0x93, 0xe3, 0xfa, 0x2c, 0x63, 0x91,
            0xd5, 0xa4);
DEFINE_GUID(IID_IPortClsPnp, 0x0485791b, 0x17f5, 0x4b73, 0x90, 0x2a, 0x20, 0x34, 0x48, 0x60, 0xb9,
            0xca);
DEFINE_GUID(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE, 0xe1f89eb5, 0x5f46, 0x419b, 0x96, 0x7b, 0xff,
            0x67, 0x70, 0xb9, 0x84, 0x01);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_DEFAULT, 0xc18e2f7e, 0x933d, 0x4965, 0xb7, 0xd1, 0x1e, 0xef,
            0x22, 0x8d, 0x2a, 0xf3);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_RAW, 0x9e90ea20, 0xb493, 0x4fd1, 0xa1, 0xa8, 0x7e, 0x13,
            0x61, 0xa9, 0x56, 0xcf);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_COMMUNICATIONS, 0x98951333, 0xb9cd, 0x48b1, 0xa0, 0xa3, 0xff,
            0x40, 0x68, 0x2d, 0x73, 0xf7);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_MEDIA, 0x4780004e, 0x7133, 0x41d8, 0x8c, 0x74, 0x66, 0x0d,
            0xad, 0xd2, 0xc0, 0xee);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_MOVIE, 0xb26feb0d, 0xec94, 0x477c, 0x94, 0x94, 0xd1, 0xab,
            0x8e, 0x75, 0x3f, 0x6e);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_NOTIFICATION, 0x9cf2a70b, 0xf377, 0x403b, 0xbd, 0x6b, 0x36,
            0x08, 0x63, 0xe0, 0x35, 0x5c);
DEFINE_GUID(KSPROPSETID_Jack, 0x4509f757, 0x2d46, 0x4637, 0x8e, 0x62, 0xce, 0x7d, 0xb9, 0x44, 0xf5,
            0x7b);
DEFINE_GUID(KSEVENTSETID_PinCapsChange, 0xdd4f192e, 0x3b78, 0x49ad, 0xa5, 0x34, 0x2c, 0x31, 0x5b,
            0x82, 0x20, 0x00);

#define STATIC_AUDIO_SIGNALPROCESSINGMODE_DEFAULT                                                  \
    0xc18e2f7e, 0x933d, 0x4965, 0xb7, 0xd1, 0x1e, 0xef, 0x22, 0x8d, 0x2a, 0xf3

// ---- Device-interface property keys of the audio stack ----

DEFINE_DEVPROPKEY(DEVPKEY_KsAudio_PacketSize_Constraints2, 0x9404f781, 0x7191, 0x409b, 0x8b, 0x0b,
                  0x80, 0xbf, 0x6e, 0xc2, 0x29, 0xae, 2);

// Declared by mingw-w64's ksmedia.h but defined in none of its libraries (the other KS GUIDs
// come from libksguid.a), so the driver's INITGUID unit defines it with the rest.
DEFINE_GUID(KSCATEGORY_REALTIME, 0xeb115ffc, 0x10c8, 0x4964, 0x83, 0x1d, 0x6d, 0xcb, 0x02, 0xe6,
            0xf2, 0x3f);
