// mingw-w64 only, built by the windows preset but never linked into the driver image: proves
// that the platform headers compile as kernel C++ and give the names the driver uses Windows's
// layouts and values. The GUID definitions are emitted here too, as the driver's one INITGUID
// unit will emit them, so a clash between mingw's declarations and ours fails this build.
#include <initguid.h>

#include "AudioHeaders.h"
#include "GuardedMapping.h"

#define CONDUIT_LAYOUT(type, size, alignment)                                                      \
    static_assert(sizeof(type) == (size), #type " size");                                          \
    static_assert(alignof(type) == (alignment), #type " alignment")
#define CONDUIT_OFFSET(type, field, offset)                                                        \
    static_assert(__builtin_offsetof(type, field) == (offset), #type "::" #field " offset")

// The structures added for mingw.
CONDUIT_LAYOUT(KSRTAUDIO_HWLATENCY, 12, 4);
CONDUIT_OFFSET(KSRTAUDIO_HWLATENCY, CodecDelay, 8);
CONDUIT_LAYOUT(KSRTAUDIO_HWREGISTER, 40, 8);
CONDUIT_OFFSET(KSRTAUDIO_HWREGISTER, Width, 8);
CONDUIT_OFFSET(KSRTAUDIO_HWREGISTER, Numerator, 16);
CONDUIT_OFFSET(KSRTAUDIO_HWREGISTER, Denominator, 24);
CONDUIT_OFFSET(KSRTAUDIO_HWREGISTER, Accuracy, 32);
CONDUIT_LAYOUT(KSRTAUDIO_BUFFER_PROPERTY, 40, 8);
CONDUIT_OFFSET(KSRTAUDIO_BUFFER_PROPERTY, BaseAddress, 24);
CONDUIT_OFFSET(KSRTAUDIO_BUFFER_PROPERTY, RequestedBufferSize, 32);
CONDUIT_LAYOUT(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, 40, 8);
CONDUIT_OFFSET(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount, 36);
CONDUIT_LAYOUT(KSRTAUDIO_BUFFER, 16, 8);
CONDUIT_OFFSET(KSRTAUDIO_BUFFER, ActualBufferSize, 8);
CONDUIT_OFFSET(KSRTAUDIO_BUFFER, CallMemoryBarrier, 12);
CONDUIT_LAYOUT(KSRTAUDIO_HWREGISTER_PROPERTY, 32, 8);
CONDUIT_OFFSET(KSRTAUDIO_HWREGISTER_PROPERTY, BaseAddress, 24);
CONDUIT_LAYOUT(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, 32, 8);
CONDUIT_OFFSET(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent, 24);
CONDUIT_LAYOUT(KSRTAUDIO_GETREADPACKET_INFO, 24, 8);
CONDUIT_OFFSET(KSRTAUDIO_GETREADPACKET_INFO, PerformanceCounterValue, 8);
CONDUIT_OFFSET(KSRTAUDIO_GETREADPACKET_INFO, MoreData, 16);
CONDUIT_LAYOUT(KSRTAUDIO_SETWRITEPACKET_INFO, 12, 4);
CONDUIT_OFFSET(KSRTAUDIO_SETWRITEPACKET_INFO, EosPacketLength, 8);
CONDUIT_LAYOUT(KSRTAUDIO_PACKETVREGISTER_PROPERTY, 32, 8);
CONDUIT_LAYOUT(KSRTAUDIO_PACKETVREGISTER, 24, 8);
CONDUIT_OFFSET(KSRTAUDIO_PACKETVREGISTER, CompletedPacketHash, 16);
CONDUIT_LAYOUT(KSAUDIO_PRESENTATION_POSITION, 16, 8);
CONDUIT_OFFSET(KSAUDIO_PRESENTATION_POSITION, u64QPCPosition, 8);
CONDUIT_LAYOUT(KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT, 24, 4);
CONDUIT_LAYOUT(KSAUDIO_PACKETSIZE_CONSTRAINTS, 40, 4);
CONDUIT_OFFSET(KSAUDIO_PACKETSIZE_CONSTRAINTS, ProcessingModeConstraints, 16);
CONDUIT_LAYOUT(KSAUDIO_PACKETSIZE_CONSTRAINTS2, 40, 4);
CONDUIT_OFFSET(KSAUDIO_PACKETSIZE_CONSTRAINTS2, MaxPacketSizeInBytes, 8);

// mingw's own structures that the driver fills for portcls.sys or reads from it.
CONDUIT_LAYOUT(PCPROPERTY_REQUEST, 72, 8);
CONDUIT_OFFSET(PCPROPERTY_REQUEST, Value, 56);
CONDUIT_LAYOUT(PCEVENT_REQUEST, 56, 8);
CONDUIT_LAYOUT(PCPROPERTY_ITEM, 24, 8);
CONDUIT_LAYOUT(PCEVENT_ITEM, 24, 8);
CONDUIT_LAYOUT(PCAUTOMATION_TABLE, 56, 8);
CONDUIT_LAYOUT(PCPIN_DESCRIPTOR, 112, 8);
CONDUIT_LAYOUT(PCNODE_DESCRIPTOR, 32, 8);
CONDUIT_LAYOUT(PCCONNECTION_DESCRIPTOR, 16, 4);
CONDUIT_LAYOUT(PCFILTER_DESCRIPTOR, 80, 8);
CONDUIT_LAYOUT(KSPIN_CONNECT, 72, 8);
CONDUIT_LAYOUT(KSDATAFORMAT, 64, 8);
CONDUIT_LAYOUT(KSDATARANGE_AUDIO, 88, 8);
CONDUIT_LAYOUT(WAVEFORMATEX, 18, 1);
CONDUIT_LAYOUT(WAVEFORMATEXTENSIBLE, 40, 1);
CONDUIT_LAYOUT(KSDATAFORMAT_WAVEFORMATEX, 82, 1);
CONDUIT_LAYOUT(KSJACK_DESCRIPTION, 28, 4);
CONDUIT_LAYOUT(KSJACK_DESCRIPTION2, 8, 4);
CONDUIT_LAYOUT(KSAUDIO_POSITION, 16, 8);
CONDUIT_LAYOUT(KSEVENTDATA, 32, 8);
CONDUIT_LAYOUT(KSSTREAM_HEADER, 56, 8);

// Values added for mingw, and the mingw ones they sit next to.
static_assert(
    KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION == 0 && KSPROPERTY_RTAUDIO_BUFFER == 1 &&
        KSPROPERTY_RTAUDIO_HWLATENCY == 2 && KSPROPERTY_RTAUDIO_POSITIONREGISTER == 3 &&
        KSPROPERTY_RTAUDIO_CLOCKREGISTER == 4 && KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION == 5 &&
        KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT == 6 &&
        KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT == 7 &&
        KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT == 8 && KSPROPERTY_RTAUDIO_PACKETCOUNT == 9 &&
        KSPROPERTY_RTAUDIO_PRESENTATION_POSITION == 10 && KSPROPERTY_RTAUDIO_GETREADPACKET == 11 &&
        KSPROPERTY_RTAUDIO_SETWRITEPACKET == 12 && KSPROPERTY_RTAUDIO_PACKETVREGISTER == 13,
    "RT-audio property ids");
static_assert(KSPROPERTY_JACK_DESCRIPTION == 1 && KSPROPERTY_JACK_DESCRIPTION2 == 2 &&
                  KSPROPERTY_JACK_SINK_INFO == 3 && KSPROPERTY_JACK_CONTAINERID == 4,
              "jack property ids");
static_assert(KSEVENT_PINCAPS_FORMATCHANGE == 0 && KSEVENT_PINCAPS_JACKINFOCHANGE == 1,
              "pin capability events");
static_assert(eGeoLocNotApplicable == eGeoLocReserved5 && eGeoLocNotApplicable == 14 &&
                  eGeoLocReserved6 == 15 && EPcxGeoLocation_enum_count == 16 &&
                  EPcxGenLocation_enum_count == eGenLocOther + 1,
              "jack locations");
static_assert(KSPROPERTY_AUDIO_PREFERRED_STATUS == 40 && KSPROPERTY_AUDIO_PEQ_MAX_BANDS == 41 &&
                  KSPROPERTY_AUDIO_PRESENTATION_POSITION == 52 &&
                  KSPROPERTY_AUDIO_MIC_SENSITIVITY2 == 60,
              "audio property ids");
static_assert(KSPROPERTY_PIN_PROPOSEDATAFORMAT == 14 && KSPROPERTY_PIN_PROPOSEDATAFORMAT2 == 15 &&
                  KSPROPERTY_PIN_MODEDATAFORMATS == 16,
              "pin property ids");
static_assert(KSPROPERTY_AUDIOSIGNALPROCESSING_MODES == 0 &&
                  KSPROPERTY_AUDIOENGINE_DEVICEFORMAT == 4 &&
                  KSPROPERTY_AUDIOENGINE_VOLUMELEVEL == 9 && PcExitLatencyResponsive == 2,
              "audio engine and power values");
static_assert(KSPROPERTY_TYPE_GETPAYLOADSIZE == 4 && KSPROPERTY_TYPE_COPYPAYLOAD == 0x80000000u &&
                  KSSTREAM_HEADER_OPTIONSF_SECUREBUFFERTRANSFER == 0x40000 &&
                  JACKDESC2_PRESENCE_DETECT_CAPABILITY == 1 &&
                  JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY == 2,
              "flag values");
static_assert((NormalPagePriority | MdlMappingNoExecute) == 0x40000010, "page priority");
static_assert(LOCALE_NEUTRAL == 0 && DEVPROP_TYPE_BINARY == 0x1003 && FILE_BYTE_ALIGNMENT == 0,
              "interface property values");
CONDUIT_LAYOUT(DEVPROPKEY, 20, 4);
static_assert(NonPagedPoolNx == 512 && KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM == 0x200,
              "mingw values the driver relies on");

// Every entry point the driver takes from portcls.sys, with the signature it calls it with; a
// name missing from the import library's .def fails the image link, a signature change fails
// here.
extern "C" const void* const MingwHeaderCheckImports[] = {
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING, PDRIVER_ADD_DEVICE)>(
            PcInitializeAdapterDriver)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PDEVICE_OBJECT, PCPFNSTARTDEVICE, ULONG,
                                     ULONG)>(PcAddAdapterDevice)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PIRP)>(PcDispatchIrp)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PUNKNOWN, PVOID)>(PcRegisterAdapterPowerManagement)),
    reinterpret_cast<const void*>(static_cast<NTSTATUS(NTAPI*)(PPORT*, REFCLSID)>(PcNewPort)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PWCHAR, PUNKNOWN)>(PcRegisterSubdevice)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PUNKNOWN, ULONG, PUNKNOWN, ULONG)>(
            PcRegisterPhysicalConnection)),
    reinterpret_cast<const void*>(
        static_cast<NTSTATUS(NTAPI*)(PMDL, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG,
                                     ULONG, PVOID*)>(MapLockedPagesGuarded)),
};

// The GUIDs the driver compares against or hands out; with INITGUID above each is defined here.
extern "C" const GUID* const MingwHeaderCheckGuids[] = {
    &IID_IUnknown,
    &IID_IAdapterPowerManagement,
    &IID_IAdapterPowerManagement2,
    &IID_IAdapterPowerManagement3,
    &IID_IMiniport,
    &IID_IMiniportTopology,
    &IID_IMiniportWaveRT,
    &IID_IMiniportWaveRTStream,
    &IID_IMiniportWaveRTStreamNotification,
    &IID_IMiniportWaveRTInputStream,
    &IID_IMiniportWaveRTOutputStream,
    &IID_IPortEvents,
    &IID_IPowerNotify,
    &IID_IPinCount,
    &CLSID_PortTopology,
    &CLSID_PortWaveRT,
    &KSCATEGORY_AUDIO,
    &KSCATEGORY_RENDER,
    &KSCATEGORY_CAPTURE,
    &KSCATEGORY_REALTIME,
    &KSCATEGORY_TOPOLOGY,
    &KSDATAFORMAT_TYPE_AUDIO,
    &KSDATAFORMAT_SUBTYPE_PCM,
    &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT,
    &KSDATAFORMAT_SUBTYPE_WAVEFORMATEX,
    &KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL,
    &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX,
    &KSNODETYPE_SPEAKER,
    &KSNODETYPE_MICROPHONE,
    &KSNODETYPE_DAC,
    &KSNODETYPE_ADC,
    &KSPROPSETID_Audio,
    &KSPROPSETID_Pin,
    &KSPROPSETID_Jack,
    &KSPROPSETID_RtAudio,
    &KSPROPSETID_Connection,
    &KSEVENTSETID_PinCapsChange,
    &KSEVENTSETID_LoopedStreaming,
    &KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE,
    &AUDIO_SIGNALPROCESSINGMODE_DEFAULT,
    &AUDIO_SIGNALPROCESSINGMODE_RAW,
};
