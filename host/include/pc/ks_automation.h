// Kernel-streaming declarations of property, event and pin automation (ks.h and ksmedia.h):
// request identifiers, pin and topology descriptions, the audio property values and the
// RT-audio records the WaveRT interfaces name, with Windows x64 layouts.
#pragma once

// ---- Property and event request flags ----
#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_GETPAYLOADSIZE 0x00000004
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_SETSUPPORT 0x00000100
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_QUERYBUFFER 0x00000400
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

// The filter itself in a topology connection.
#define KSFILTER_NODE ((ULONG)-1)

#define KSNODEPIN_STANDARD_IN 1
#define KSNODEPIN_STANDARD_OUT 0

// ---- Request instances ----
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE, KSPIN_MEDIUM, *PKSPIN_MEDIUM;

typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;

// ---- Basic-support replies ----
typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

// ---- Pins and topology ----
typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT,
} KSPIN_DATAFLOW,
    *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE,
    KSPIN_COMMUNICATION_SINK,
    KSPIN_COMMUNICATION_SOURCE,
    KSPIN_COMMUNICATION_BOTH,
    KSPIN_COMMUNICATION_BRIDGE,
} KSPIN_COMMUNICATION,
    *PKSPIN_COMMUNICATION;

typedef struct {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSDATARANGE* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
typedef const KSPIN_DESCRIPTOR* PCKSPIN_DESCRIPTOR;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef enum {
    KSSTATE_STOP,
    KSSTATE_ACQUIRE,
    KSSTATE_PAUSE,
    KSSTATE_RUN,
} KSSTATE,
    *PKSSTATE;

// Stream header option: the last data of the stream (also the write-packet end-of-stream flag).
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// ---- Property and event identifiers ----
typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION,
    KSPROPERTY_PIN_GLOBALCINSTANCES,
    KSPROPERTY_PIN_NECESSARYINSTANCES,
    KSPROPERTY_PIN_PHYSICALCONNECTION,
    KSPROPERTY_PIN_CATEGORY,
    KSPROPERTY_PIN_NAME,
    KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT,
    KSPROPERTY_PIN_PROPOSEDATAFORMAT2,
    KSPROPERTY_PIN_MODEDATAFORMATS,
} KSPROPERTY_PIN;

// The audio properties this device answers; the others keep their Windows values unnamed.
typedef enum {
    KSPROPERTY_AUDIO_LATENCY = 1,
    KSPROPERTY_AUDIO_COPY_PROTECTION = 2,
    KSPROPERTY_AUDIO_CHANNEL_CONFIG = 3,
    KSPROPERTY_AUDIO_VOLUMELEVEL = 4,
    KSPROPERTY_AUDIO_POSITION = 5,
    KSPROPERTY_AUDIO_MUTE = 8,
    KSPROPERTY_AUDIO_CPU_RESOURCES = 33,
} KSPROPERTY_AUDIO;

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2,
    KSPROPERTY_JACK_SINK_INFO,
    KSPROPERTY_JACK_CONTAINERID,
} KSPROPERTY_JACK;

typedef enum {
    KSEVENT_PINCAPS_FORMATCHANGE,
    KSEVENT_PINCAPS_JACKINFOCHANGE,
} KSEVENT_PINCAPS_CHANGENOTIFICATIONS;

// ---- Audio property values ----
#define KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU 0x00000000
#define KSAUDIO_CPU_RESOURCES_HOST_CPU 0x7FFFFFFF

typedef struct {
    LONG ActiveSpeakerPositions;
} KSAUDIO_CHANNEL_CONFIG, *PKSAUDIO_CHANNEL_CONFIG;

typedef enum {
    eConnTypeUnknown,
    eConnType3Point5mm,
    eConnTypeQuarter,
    eConnTypeAtapiInternal,
    eConnTypeRCA,
    eConnTypeOptical,
    eConnTypeOtherDigital,
    eConnTypeOtherAnalog,
    eConnTypeMultichannelAnalogDIN,
    eConnTypeXlrProfessional,
    eConnTypeRJ11Modem,
    eConnTypeCombination,
} EPcxConnectionType;

typedef enum {
    eGeoLocRear = 1,
    eGeoLocFront,
    eGeoLocLeft,
    eGeoLocRight,
    eGeoLocTop,
    eGeoLocBottom,
    eGeoLocRearPanel,
    eGeoLocRiser,
    eGeoLocInsideMobileLid,
    eGeoLocDrivebay,
    eGeoLocHDMI,
    eGeoLocOutsideMobileLid,
    eGeoLocATAPI,
    eGeoLocNotApplicable,
    eGeoLocReserved6,
    EPcxGeoLocation_enum_count,
} EPcxGeoLocation;

typedef enum {
    eGenLocPrimaryBox,
    eGenLocInternal,
    eGenLocSeparate,
    eGenLocOther,
    EPcxGenLocation_enum_count,
} EPcxGenLocation;

typedef enum {
    ePortConnJack,
    ePortConnIntegratedDevice,
    ePortConnBothIntegratedAndJack,
    ePortConnUnknown,
} EPxcPortConnection;

typedef struct {
    DWORD ChannelMapping;
    DWORD Color;
    EPcxConnectionType ConnectionType;
    EPcxGeoLocation GeoLocation;
    EPcxGenLocation GenLocation;
    EPxcPortConnection PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;

// ---- Positions and the RT-audio records of the WaveRT stream interfaces ----
typedef struct {
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;

typedef struct {
    ULONGLONG u64PositionInBlocks;
    ULONGLONG u64QPCPosition;
} KSAUDIO_PRESENTATION_POSITION, *PKSAUDIO_PRESENTATION_POSITION;

typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

// ---- Layouts that the port-class library and its callers share ----
static_assert(sizeof(KSP_PIN) == 32 && alignof(KSP_PIN) == 8, "KSP_PIN layout");
static_assert(__builtin_offsetof(KSP_PIN, PinId) == 24, "KSP_PIN.PinId");
static_assert(__builtin_offsetof(KSP_PIN, Reserved) == 28, "KSP_PIN.Reserved");
static_assert(sizeof(KSP_NODE) == 32 && alignof(KSP_NODE) == 8, "KSP_NODE layout");
static_assert(__builtin_offsetof(KSP_NODE, NodeId) == 24, "KSP_NODE.NodeId");
static_assert(__builtin_offsetof(KSP_NODE, Reserved) == 28, "KSP_NODE.Reserved");
static_assert(sizeof(KSE_NODE) == 32 && __builtin_offsetof(KSE_NODE, NodeId) == 24, "KSE_NODE");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && alignof(KSPROPERTY_DESCRIPTION) == 8,
              "KSPROPERTY_DESCRIPTION layout");
static_assert(__builtin_offsetof(KSPROPERTY_DESCRIPTION, DescriptionSize) == 4, "DescriptionSize");
static_assert(__builtin_offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8, "PropTypeSet");
static_assert(__builtin_offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32, "members");
static_assert(__builtin_offsetof(KSPROPERTY_DESCRIPTION, Reserved) == 36, "Reserved");
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16 && alignof(KSPROPERTY_MEMBERSHEADER) == 4,
              "KSPROPERTY_MEMBERSHEADER layout");
static_assert(__builtin_offsetof(KSPROPERTY_MEMBERSHEADER, MembersSize) == 4, "MembersSize");
static_assert(__builtin_offsetof(KSPROPERTY_MEMBERSHEADER, MembersCount) == 8, "MembersCount");
static_assert(__builtin_offsetof(KSPROPERTY_MEMBERSHEADER, Flags) == 12, "Flags");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && alignof(KSPIN_DESCRIPTOR) == 8,
              "KSPIN_DESCRIPTOR layout");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Interfaces) == 8, "Interfaces");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, MediumsCount) == 16, "MediumsCount");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Mediums) == 24, "Mediums");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, DataRangesCount) == 32, "DataRangesCount");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40, "DataRanges");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48, "DataFlow");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Communication) == 52, "Communication");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Category) == 56, "Category");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Name) == 64, "Name");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, Reserved) == 72, "Reserved");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRangesCount) == 72, "count");
static_assert(__builtin_offsetof(KSPIN_DESCRIPTOR, ConstrainedDataRanges) == 80, "ranges");
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16 && alignof(KSTOPOLOGY_CONNECTION) == 4,
              "KSTOPOLOGY_CONNECTION layout");
static_assert(__builtin_offsetof(KSTOPOLOGY_CONNECTION, FromNodePin) == 4, "FromNodePin");
static_assert(__builtin_offsetof(KSTOPOLOGY_CONNECTION, ToNode) == 8, "ToNode");
static_assert(__builtin_offsetof(KSTOPOLOGY_CONNECTION, ToNodePin) == 12, "ToNodePin");
static_assert(sizeof(KSAUDIO_CHANNEL_CONFIG) == 4, "KSAUDIO_CHANNEL_CONFIG layout");
static_assert(sizeof(KSJACK_DESCRIPTION) == 28 && alignof(KSJACK_DESCRIPTION) == 4,
              "KSJACK_DESCRIPTION layout");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, Color) == 4, "Color");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, ConnectionType) == 8, "ConnectionType");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, GeoLocation) == 12, "GeoLocation");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, GenLocation) == 16, "GenLocation");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, PortConnection) == 20, "PortConnection");
static_assert(__builtin_offsetof(KSJACK_DESCRIPTION, IsConnected) == 24, "IsConnected");
static_assert(sizeof(KSAUDIO_POSITION) == 16, "KSAUDIO_POSITION layout");
static_assert(sizeof(KSAUDIO_PRESENTATION_POSITION) == 16, "KSAUDIO_PRESENTATION_POSITION");
static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12, "KSRTAUDIO_HWLATENCY layout");
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40 && alignof(KSRTAUDIO_HWREGISTER) == 8,
              "KSRTAUDIO_HWREGISTER layout");
static_assert(__builtin_offsetof(KSRTAUDIO_HWREGISTER, Width) == 8, "Width");
static_assert(__builtin_offsetof(KSRTAUDIO_HWREGISTER, Numerator) == 16, "Numerator");
static_assert(__builtin_offsetof(KSRTAUDIO_HWREGISTER, Denominator) == 24, "Denominator");
static_assert(__builtin_offsetof(KSRTAUDIO_HWREGISTER, Accuracy) == 32, "Accuracy");

// ---- GUID values for constant tables ----
// STATICGUIDOF(name) spells a GUID's value where a constant initialiser needs it (the
// DEFINE_GUID symbols are objects, whose values a constant table cannot copy).
#define STATICGUIDOF(guid) STATIC_##guid
#define STATIC_KSDATAFORMAT_TYPE_AUDIO                                                             \
    0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SUBTYPE_ANALOG                                                         \
    0x6dba3190, 0x67bd, 0x11cf, 0xa0, 0xf7, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4
#define STATIC_KSDATAFORMAT_SUBTYPE_PCM                                                            \
    0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_NONE                                                         \
    0x0f6417d6, 0xc318, 0x11d0, 0xa4, 0x3f, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX                                                 \
    0x05589f81, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a
#define STATIC_KSCATEGORY_AUDIO                                                                    \
    0x6994ad04, 0x93ef, 0x11d0, 0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_TOPOLOGY                                                                 \
    0xdda54a40, 0x1e4c, 0x11d1, 0xa0, 0x50, 0x40, 0x57, 0x05, 0xc1, 0x00, 0x00
#define STATIC_KSCATEGORY_RENDER                                                                   \
    0x65e8773e, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_CAPTURE                                                                  \
    0x65e8773d, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_REALTIME                                                                 \
    0xeb115ffc, 0x10c8, 0x4964, 0x83, 0x1d, 0x6d, 0xcb, 0x02, 0xe6, 0xf2, 0x3f
#define STATIC_AUDIO_SIGNALPROCESSINGMODE_DEFAULT                                                  \
    0xc18e2f7e, 0x933d, 0x4965, 0xb7, 0xd1, 0x1e, 0xef, 0x22, 0x8d, 0x2a, 0xf3
