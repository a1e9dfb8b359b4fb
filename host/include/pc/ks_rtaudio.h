// What a user-mode caller of a WaveRT pin builds: the pin-create request (KSPIN_CONNECT and the
// name kernel streaming creates pins under), the connection and RT-audio property ids and their
// request and value records. Windows x64 layouts.
#pragma once

#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000
#define KSPRIORITY_EXCLUSIVE 0xFFFFFFFF

// The text form of KSNAME_Pin: a pin create names it, then a backslash, then the binary
// KSPIN_CONNECT with the data format straight after it.
#define KSSTRING_Pin L"{146F1A80-4791-11D0-A5D6-28DB04C10000}"

#define KSINTERFACE_STANDARD_STREAMING 0
#define KSINTERFACE_STANDARD_LOOPED_STREAMING 1
#define KSMEDIUM_TYPE_ANYINSTANCE 0
#define KSMEDIUM_STANDARD_DEVIO KSMEDIUM_TYPE_ANYINSTANCE

#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

typedef enum {
    KSPROPERTY_CONNECTION_STATE = 0,
    KSPROPERTY_CONNECTION_PRIORITY = 1,
    KSPROPERTY_CONNECTION_DATAFORMAT = 2,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3,
    KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4,
    KSPROPERTY_CONNECTION_ACQUIREORDERING = 5,
    KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6,
    KSPROPERTY_CONNECTION_STARTAT = 7,
} KSPROPERTY_CONNECTION;

typedef enum {
    KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION = 0,
    KSPROPERTY_RTAUDIO_BUFFER = 1,
    KSPROPERTY_RTAUDIO_HWLATENCY = 2,
    KSPROPERTY_RTAUDIO_POSITIONREGISTER = 3,
    KSPROPERTY_RTAUDIO_CLOCKREGISTER = 4,
    KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION = 5,
    KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT = 6,
    KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT = 7,
    KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT = 8,
    KSPROPERTY_RTAUDIO_PACKETCOUNT = 9,
    KSPROPERTY_RTAUDIO_PRESENTATION_POSITION = 10,
    KSPROPERTY_RTAUDIO_GETREADPACKET = 11,
    KSPROPERTY_RTAUDIO_SETWRITEPACKET = 12,
    KSPROPERTY_RTAUDIO_PACKETVREGISTER = 13,
} KSPROPERTY_RTAUDIO;

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

static_assert(sizeof(KSPRIORITY) == 8, "KSPRIORITY layout");
static_assert(sizeof(KSPIN_CONNECT) == 72 && __builtin_offsetof(KSPIN_CONNECT, PinId) == 48 &&
                  __builtin_offsetof(KSPIN_CONNECT, PinToHandle) == 56 &&
                  __builtin_offsetof(KSPIN_CONNECT, Priority) == 64,
              "KSPIN_CONNECT layout");
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY) == 40 &&
                  __builtin_offsetof(KSRTAUDIO_BUFFER_PROPERTY, RequestedBufferSize) == 32,
              "KSRTAUDIO_BUFFER_PROPERTY layout");
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == 40 &&
                  __builtin_offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION,
                                     NotificationCount) == 36,
              "KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION layout");
static_assert(sizeof(KSRTAUDIO_BUFFER) == 16 &&
                  __builtin_offsetof(KSRTAUDIO_BUFFER, CallMemoryBarrier) == 12,
              "KSRTAUDIO_BUFFER layout");
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == 32, "KSRTAUDIO_HWREGISTER_PROPERTY");
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == 32 &&
                  __builtin_offsetof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent) ==
                      24,
              "KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY layout");
static_assert(sizeof(KSRTAUDIO_GETREADPACKET_INFO) == 24 &&
                  __builtin_offsetof(KSRTAUDIO_GETREADPACKET_INFO, MoreData) == 16,
              "KSRTAUDIO_GETREADPACKET_INFO layout");
static_assert(sizeof(KSRTAUDIO_SETWRITEPACKET_INFO) == 12, "KSRTAUDIO_SETWRITEPACKET_INFO");

// ---- Packet-size constraints: what a WaveRT filter declares on its interface so that the
// audio engine may run it at small periods (Windows 10 on) ----

typedef struct {
    GUID ProcessingMode;
    ULONG SamplesPerProcessingPacket;    // 0: the duration below says it
    ULONG ProcessingPacketDurationInHns; // ignored when the samples are given
} KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT, *PKSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT;

typedef struct {
    ULONG MinPacketPeriodInHns;
    ULONG PacketSizeFileAlignment; // FILE_BYTE_ALIGNMENT ... FILE_512_BYTE_ALIGNMENT
    ULONG Reserved;
    ULONG NumProcessingModeConstraints;
    KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT ProcessingModeConstraints[ANYSIZE_ARRAY];
} KSAUDIO_PACKETSIZE_CONSTRAINTS, *PKSAUDIO_PACKETSIZE_CONSTRAINTS;

typedef struct {
    ULONG MinPacketPeriodInHns;
    ULONG PacketSizeFileAlignment;
    ULONG MaxPacketSizeInBytes; // 0: none
    ULONG NumProcessingModeConstraints;
    KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT ProcessingModeConstraints[ANYSIZE_ARRAY];
} KSAUDIO_PACKETSIZE_CONSTRAINTS2, *PKSAUDIO_PACKETSIZE_CONSTRAINTS2;

static_assert(sizeof(KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT) == 24,
              "KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT is 24 bytes");
static_assert(sizeof(KSAUDIO_PACKETSIZE_CONSTRAINTS) == 40 &&
                  __builtin_offsetof(KSAUDIO_PACKETSIZE_CONSTRAINTS, ProcessingModeConstraints) ==
                      16,
              "KSAUDIO_PACKETSIZE_CONSTRAINTS layout");
static_assert(sizeof(KSAUDIO_PACKETSIZE_CONSTRAINTS2) == 40 &&
                  __builtin_offsetof(KSAUDIO_PACKETSIZE_CONSTRAINTS2, MaxPacketSizeInBytes) == 8,
              "KSAUDIO_PACKETSIZE_CONSTRAINTS2 layout");

// Both are DEVPROP_TYPE_BINARY values of the filter's interface.
DEFINE_DEVPROPKEY(DEVPKEY_KsAudio_PacketSize_Constraints, 0x13e004d6, 0xb066, 0x43bd, 0x91, 0x3b,
                  0xa4, 0x15, 0xcd, 0x13, 0xda, 0x87, 2);
DEFINE_DEVPROPKEY(DEVPKEY_KsAudio_PacketSize_Constraints2, 0x9404f781, 0x7191, 0x409b, 0x8b, 0x0b,
                  0x80, 0xbf, 0x6e, 0xc2, 0x29, 0xae, 2);
