// The read-only name tables of the kernel-streaming and port-class GUIDs that diagnostics may
// show. Each row takes its name from the very symbol it points at, so the two cannot drift.
#include "platform/AudioHeaders.h"
#include "support/GuidNames.h"

#define GUID_NAME(symbol)                                                                          \
    { &(symbol), L"" #symbol }
#define END_OF_TABLE                                                                               \
    { nullptr, nullptr }

const GuidNameEntry CategoryNames[] = {
    GUID_NAME(KSCATEGORY_AUDIO),
    GUID_NAME(KSCATEGORY_RENDER),
    GUID_NAME(KSCATEGORY_CAPTURE),
    GUID_NAME(KSCATEGORY_REALTIME),
    GUID_NAME(KSCATEGORY_TOPOLOGY),
    GUID_NAME(KSCATEGORY_VIRTUAL),
    END_OF_TABLE,
};

const GuidNameEntry FormatTypeNames[] = {
    GUID_NAME(KSDATAFORMAT_TYPE_AUDIO),
    GUID_NAME(KSDATAFORMAT_TYPE_MUSIC),
    GUID_NAME(KSDATAFORMAT_TYPE_VIDEO),
    GUID_NAME(KSDATAFORMAT_TYPE_WILDCARD),
    END_OF_TABLE,
};

const GuidNameEntry FormatSubtypeNames[] = {
    GUID_NAME(KSDATAFORMAT_SUBTYPE_ANALOG),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_WAVEFORMATEX),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_PCM),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_ADPCM),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_ALAW),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_MULAW),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_MPEG),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO),
    GUID_NAME(KSDATAFORMAT_SUBTYPE_WILDCARD),
    END_OF_TABLE,
};

const GuidNameEntry FormatSpecifierNames[] = {
    GUID_NAME(KSDATAFORMAT_SPECIFIER_NONE),
    GUID_NAME(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
    GUID_NAME(KSDATAFORMAT_SPECIFIER_DSOUND),
    GUID_NAME(KSDATAFORMAT_SPECIFIER_WILDCARD),
    END_OF_TABLE,
};

const GuidNameEntry InterfaceNames[] = {
    GUID_NAME(IID_IAdapterPowerManagement),
    GUID_NAME(IID_IAdapterPowerManagement2),
    GUID_NAME(IID_IAdapterPowerManagement3),
    GUID_NAME(IID_IDmaChannel),
    GUID_NAME(IID_IDmaChannelSlave),
    GUID_NAME(IID_IMiniport),
    GUID_NAME(IID_IPort),
    GUID_NAME(IID_IResourceList),
    GUID_NAME(IID_IInterruptSync),
    GUID_NAME(IID_IServiceSink),
    GUID_NAME(IID_IServiceGroup),
    GUID_NAME(IID_IRegistryKey),
    GUID_NAME(IID_IPortMidi),
    GUID_NAME(IID_IMiniportMidi),
    GUID_NAME(IID_IMiniportMidiStream),
    GUID_NAME(IID_IPortTopology),
    GUID_NAME(IID_IMiniportTopology),
    GUID_NAME(IID_IPortWaveCyclic),
    GUID_NAME(IID_IMiniportWaveCyclic),
    GUID_NAME(IID_IMiniportWaveCyclicStream),
    GUID_NAME(IID_IPortWavePci),
    GUID_NAME(IID_IPortWavePciStream),
    GUID_NAME(IID_IMiniportWavePci),
    GUID_NAME(IID_IMiniportWavePciStream),
    GUID_NAME(IID_IPowerNotify),
    GUID_NAME(IID_IWaveCyclicClock),
    GUID_NAME(IID_IWavePciClock),
    GUID_NAME(IID_IPortEvents),
    GUID_NAME(CLSID_PortMidi),
    GUID_NAME(CLSID_PortTopology),
    GUID_NAME(CLSID_PortWaveCyclic),
    GUID_NAME(CLSID_PortWavePci),
    GUID_NAME(CLSID_MiniportDriverFmSynth),
    GUID_NAME(CLSID_MiniportDriverUart),
    GUID_NAME(CLSID_MiniportDriverFmSynthWithVol),
    GUID_NAME(IID_IDrmPort),
    GUID_NAME(IID_IDrmPort2),
    GUID_NAME(IID_IPortClsVersion),
    GUID_NAME(IID_IPinCount),
    GUID_NAME(IID_IPreFetchOffset),
    GUID_NAME(IID_IMusicTechnology),
    GUID_NAME(IID_IUnregisterSubdevice),
    GUID_NAME(IID_IUnregisterPhysicalConnection),
    GUID_NAME(CLSID_PortWaveRT),
    GUID_NAME(IID_IPortWaveRT),
    GUID_NAME(IID_IPortWaveRTStream),
    GUID_NAME(IID_IMiniportWaveRT),
    GUID_NAME(IID_IMiniportWaveRTStream),
    GUID_NAME(IID_IMiniportWaveRTStreamNotification),
    GUID_NAME(IID_IPortWMIRegistration),
    GUID_NAME(IID_IPortClsSubdeviceEx),
    GUID_NAME(IID_IPortClsPower),
    GUID_NAME(IID_IPinName),
    GUID_NAME(IID_IMiniportAudioSignalProcessing),
    GUID_NAME(IID_IMiniportAudioEngineNode),
    GUID_NAME(IID_IMiniportStreamAudioEngineNode),
    GUID_NAME(IID_IMiniportStreamAudioEngineNode2),
    GUID_NAME(IID_IMiniportWaveRTInputStream),
    GUID_NAME(IID_IMiniportWaveRTOutputStream),
    GUID_NAME(IID_IPortClsStreamResourceManager),
    GUID_NAME(IID_IPortClsStreamResourceManager2),
    GUID_NAME(IID_IAdapterPnpManagement),
    GUID_NAME(IID_IMiniportPnpNotify),
    GUID_NAME(IID_IPortClsPnp),
    END_OF_TABLE,
};

const GuidNameEntry SignalProcessingNames[] = {
    GUID_NAME(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_DEFAULT),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_RAW),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_COMMUNICATIONS),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_MEDIA),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_MOVIE),
    GUID_NAME(AUDIO_SIGNALPROCESSINGMODE_NOTIFICATION),
    END_OF_TABLE,
};

const GuidNameEntry* const DefaultNameTables[] = {
    CategoryNames,
    FormatTypeNames,
    FormatSubtypeNames,
    FormatSpecifierNames,
    InterfaceNames,
    SignalProcessingNames,
    nullptr,
};

#define ROWS(table) (sizeof(table) / sizeof((table)[0]) - 1)
static_assert(ROWS(CategoryNames) == 6, "category rows");
static_assert(ROWS(FormatTypeNames) == 4, "format type rows");
static_assert(ROWS(FormatSubtypeNames) == 11, "format sub-type rows");
static_assert(ROWS(FormatSpecifierNames) == 4, "format specifier rows");
static_assert(ROWS(InterfaceNames) == 64, "interface rows");
static_assert(ROWS(SignalProcessingNames) == 7, "signal processing rows");
static_assert(ROWS(DefaultNameTables) == 6, "default search list");
