// The WaveRT miniport: data-range intersection, the proposed format, the channel
// configuration, the format-change event, the device description and the refusals of
// NewStream, each measured against the one device format of the channel.
#include <optional>

#include "../support/FormatTestSupport.h"
#include "AudioTestSupport.h"
#include "audio/WaveRTDescriptors.h"
#include "support/DataFormat.h"
#include "support/WaveFormat.h"

namespace {

using audio_test::Direction;
using audio_test::FakePort;
using audio_test::MiniportHolder;
using audio_test::PropertyProbe;

const PCPROPERTY_ITEM ProposedItem = {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, 0x203,
                                      ProposedFormatHandler};
const PCPROPERTY_ITEM ChannelConfigItem = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG,
                                           0x203, ChannelConfigHandler};

class MiniportWaveRTTest : public HostTest {
protected:
    MiniportWaveRTTest() : direction(false) {
        miniport.emplace(false, &direction.channel);
        wave = miniport->miniport;
    }

    // The miniport goes before the machine is checked for leaks.
    void TearDown() override {
        miniport.reset();
        HostTest::TearDown();
    }

    // The client's choice of 48 kHz, 16 bits, stereo.
    void UseStereo16() { direction.SetFormat(48000, 16, 2, 2, KSAUDIO_SPEAKER_STEREO); }

    // The data-format block the channel's format builds into (extensible layout).
    std::vector<unsigned char> DeviceFormatBlock() {
        const DeviceFormat& f = direction.channel.currentFormat;
        WAVEFORMATEXTENSIBLE record{};
        EXPECT_TRUE(BuildWaveFormat(&record, f.SampleRate, f.BitsPerSample, f.Channels,
                                    f.ContainerBytes, f.ChannelMask, TRUE, FALSE));
        std::vector<unsigned char> block(DataFormatBlockBytes);
        block.resize(BuildKsDataFormat(&record, block.data()));
        return block;
    }

    PropertyProbe Proposed(ULONG verb, size_t valueSize) {
        PropertyProbe probe;
        probe.target = wave->MiniportInterface();
        probe.item = &ProposedItem;
        probe.verb = verb;
        probe.SetPin(WaveStreamingPin, sizeof(KSP_PIN) - sizeof(KSPROPERTY));
        probe.SetValueSize(valueSize);
        return probe;
    }

    NTSTATUS Intersect(const KSDATARANGE_AUDIO& range, ULONG outputLength,
                       std::vector<unsigned char>* output, ULONG* length,
                       ULONG pin = WaveStreamingPin) {
        output->assign(outputLength + PropertyProbe::GuardBytes, PropertyProbe::Guard);
        KSDATARANGE_AUDIO copy = range;
        NTSTATUS status = wave->DataRangeIntersection(
            pin, &copy.DataRange, const_cast<PKSDATARANGE>(&PcmDataRange.DataRange), outputLength,
            output->data(), length);
        for (size_t i = outputLength; i < output->size(); ++i) {
            EXPECT_EQ((*output)[i], PropertyProbe::Guard) << "written past the output at " << i;
        }
        return status;
    }

    Direction direction;
    std::optional<MiniportHolder<CMiniportWaveRT>> miniport;
    CMiniportWaveRT* wave;
};

TEST_F(MiniportWaveRTTest, IntersectionBuildsTheDeviceFormat) {
    struct Case {
        const char* name;
        bool stereo16;
        ULONG formatSize, sampleSize;
        WORD tag;
    };
    const Case cases[] = {
        {"start-up format: extensible", false, 104, 32, WAVE_FORMAT_EXTENSIBLE},
        {"48 kHz 16-bit stereo: plain", true, 80, 4, WAVE_FORMAT_PCM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stereo16) {
            UseStereo16();
        }
        std::vector<unsigned char> output;
        ULONG length = 0;
        ASSERT_EQ(Intersect(PcmDataRange, 104, &output, &length), STATUS_SUCCESS);
        EXPECT_EQ(length, 104u);
        KSDATAFORMAT header;
        std::memcpy(&header, output.data(), sizeof(header));
        EXPECT_EQ(header.FormatSize, c.formatSize);
        EXPECT_EQ(header.SampleSize, c.sampleSize);
        EXPECT_EQ(header.Flags | header.Reserved, 0u);
        EXPECT_TRUE(IsEqualGUID(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
        EXPECT_TRUE(IsEqualGUID(header.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        EXPECT_TRUE(IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
        WAVEFORMATEXTENSIBLE wave;
        std::memcpy(&wave, output.data() + 64, sizeof(wave));
        EXPECT_EQ(wave.Format.wFormatTag, c.tag);
        EXPECT_EQ(wave.Format.nSamplesPerSec, direction.channel.currentFormat.SampleRate);
        EXPECT_EQ(wave.Format.nBlockAlign, c.sampleSize);
        if (c.tag == WAVE_FORMAT_PCM) {
            // The whole reported length is the caller's to read: nothing stale behind the format.
            for (size_t i = 64 + sizeof(WAVEFORMATEX); i < 104; ++i) {
                EXPECT_EQ(output[i], 0) << i;
            }
        } else {
            EXPECT_EQ(wave.dwChannelMask, direction.channel.currentFormat.ChannelMask);
            EXPECT_EQ(wave.Samples.wValidBitsPerSample, 32);
        }
    }
}

TEST_F(MiniportWaveRTTest, IntersectionRefusals) {
    auto withSubFormat = [](const GUID& subFormat) {
        KSDATARANGE_AUDIO range = PcmDataRange;
        range.DataRange.SubFormat = subFormat;
        return range;
    };
    KSDATARANGE_AUDIO maxRate48k = PcmDataRange;
    maxRate48k.MaximumSampleFrequency = 48000;
    KSDATARANGE_AUDIO sixChannels = PcmDataRange;
    sixChannels.MaximumChannels = 6;
    KSDATARANGE_AUDIO bits16 = PcmDataRange;
    bits16.MaximumBitsPerSample = 16;
    KSDATARANGE_AUDIO analog = withSubFormat(KSDATAFORMAT_SUBTYPE_ANALOG);
    KSDATARANGE_AUDIO otherMajor = PcmDataRange;
    otherMajor.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    KSDATARANGE_AUDIO otherSpecifier = PcmDataRange;
    otherSpecifier.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    KSDATARANGE_AUDIO shortRange = PcmDataRange; // a plain KSDATARANGE that says PCM
    shortRange.DataRange.FormatSize = sizeof(KSDATARANGE);
    KSDATARANGE_AUDIO almostShort = PcmDataRange;
    almostShort.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO) - 1;

    struct Case {
        const char* name;
        const KSDATARANGE_AUDIO range;
        ULONG pin = WaveStreamingPin;
    };
    const Case cases[] = {
        {"the bridge pin", PcmDataRange, WaveBridgePin},
        {"maximum rate 48 kHz", maxRate48k},
        {"IEEE float", withSubFormat(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)},
        {"analog", analog},
        {"not audio", otherMajor},
        {"no wave specifier", otherSpecifier},
        {"fewer channels than the device", sixChannels},
        {"fewer bits than the device", bits16},
        {"range without audio limits", shortRange},
        {"range one byte short", almostShort},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> output;
        ULONG length = 12345;
        EXPECT_EQ(Intersect(c.range, 104, &output, &length, c.pin), STATUS_NO_MATCH) << c.name;
        EXPECT_EQ(length, 12345u) << c.name;
        EXPECT_EQ(output[0], PropertyProbe::Guard) << c.name << ": nothing written";
    }

    KSDATARANGE_AUDIO dsound = PcmDataRange;
    dsound.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    std::vector<unsigned char> output;
    ULONG length = 0;
    EXPECT_EQ(Intersect(dsound, 104, &output, &length), STATUS_SUCCESS) << "sound-buffer range";
}

TEST_F(MiniportWaveRTTest, IntersectionOutputSizes) {
    std::vector<unsigned char> output;
    ULONG length = 0;
    EXPECT_EQ(Intersect(PcmDataRange, 0, &output, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 104u);
    length = 7;
    EXPECT_EQ(Intersect(PcmDataRange, 103, &output, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(Intersect(PcmDataRange, 200, &output, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 104u);
    for (size_t i = 104; i < 200; ++i) {
        EXPECT_EQ(output[i], PropertyProbe::Guard) << "beyond the result at " << i;
    }
}

// A device format whose container is too small for its bits is offered to nobody.
TEST_F(MiniportWaveRTTest, DeviceFormatTheBuilderRefusesMatchesNothing) {
    direction.SetFormat(48000, 24, 2, 2, KSAUDIO_SPEAKER_STEREO);
    std::vector<unsigned char> output;
    ULONG length = 99;
    EXPECT_EQ(Intersect(PcmDataRange, 104, &output, &length), STATUS_NO_MATCH);
    EXPECT_EQ(length, 99u);
    EXPECT_EQ(output[0], PropertyProbe::Guard);

    PropertyProbe probe = Proposed(KSPROPERTY_TYPE_GET, 104);
    EXPECT_EQ(probe.Run(ProposedFormatHandler), STATUS_NO_MATCH);
    EXPECT_TRUE(probe.ValueUntouched());
    EXPECT_TRUE(probe.guardsIntact);
}

TEST_F(MiniportWaveRTTest, ProposedFormatGetAtEverySize) {
    struct Case {
        size_t valueSize;
        NTSTATUS status;
        ULONG valueSizeOut;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 64},   {63, STATUS_BUFFER_TOO_SMALL, 63},
        {64, STATUS_BUFFER_TOO_SMALL, 64}, {103, STATUS_BUFFER_TOO_SMALL, 103},
        {104, STATUS_SUCCESS, 104},        {200, STATUS_SUCCESS, 104},
    };
    for (bool stereo : {false, true}) {
        if (stereo) {
            UseStereo16();
        }
        std::vector<unsigned char> expected = DeviceFormatBlock();
        ASSERT_EQ(expected.size(), 104u);
        for (const Case& c : cases) {
            PropertyProbe probe = Proposed(KSPROPERTY_TYPE_GET, c.valueSize);
            SCOPED_TRACE(testing::Message() << "stereo " << stereo << " size " << c.valueSize);
            EXPECT_EQ(probe.Run(ProposedFormatHandler), c.status);
            EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut);
            EXPECT_TRUE(probe.guardsIntact);
            if (c.status != STATUS_SUCCESS) {
                EXPECT_TRUE(probe.ValueUntouched());
                continue;
            }
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), probe.valueOut.begin()));
            for (size_t i = 104; i < c.valueSize; ++i) {
                EXPECT_EQ(probe.valueOut[i], PropertyProbe::Pattern);
            }
        }
    }
}

TEST_F(MiniportWaveRTTest, ProposedFormatInstanceAndPin) {
    struct Case {
        ULONG pin;
        size_t instanceSize;
        NTSTATUS status;
    };
    const Case cases[] = {
        {0, 3, STATUS_BUFFER_TOO_SMALL},  {0, 0, STATUS_BUFFER_TOO_SMALL},
        {1, 8, STATUS_INVALID_PARAMETER}, {2, 8, STATUS_INVALID_PARAMETER},
        {0, 4, STATUS_SUCCESS},
    };
    for (ULONG verb : {ULONG{KSPROPERTY_TYPE_GET}, ULONG{KSPROPERTY_TYPE_SET}}) {
        for (const Case& c : cases) {
            PropertyProbe probe = Proposed(verb, 104);
            probe.SetPin(c.pin, c.instanceSize);
            if (verb == KSPROPERTY_TYPE_SET) {
                std::vector<unsigned char> block = DeviceFormatBlock();
                probe.value = block;
            }
            EXPECT_EQ(probe.Run(ProposedFormatHandler), c.status)
                << verb << " pin " << c.pin << " instance " << c.instanceSize;
            EXPECT_TRUE(probe.guardsIntact);
            EXPECT_TRUE(probe.instanceIntact);
        }
    }
    // Neither get nor set: nothing to do.
    PropertyProbe probe = Proposed(0, 104);
    EXPECT_EQ(probe.Run(ProposedFormatHandler), STATUS_SUCCESS);
    EXPECT_TRUE(probe.ValueUntouched());
}

TEST_F(MiniportWaveRTTest, ProposedFormatSetOnlyAnswers) {
    using formats_test::AttributeList;
    using formats_test::ModeAttribute;
    auto withMode = [&](const GUID& mode) {
        std::vector<unsigned char> block = DeviceFormatBlock();
        ULONG flags = KSDATAFORMAT_ATTRIBUTES;
        std::memcpy(block.data() + 4, &flags, sizeof(flags));
        std::vector<unsigned char> list = AttributeList(48, 1, {ModeAttribute(mode)});
        block.insert(block.end(), list.begin(), list.end()); // 104 is already 8-aligned
        return block;
    };
    auto otherRate = [&]() {
        std::vector<unsigned char> block = DeviceFormatBlock();
        WAVEFORMATEXTENSIBLE wave;
        std::memcpy(&wave, block.data() + 64, sizeof(wave));
        wave.Format.nSamplesPerSec = 44100;
        wave.Format.nAvgBytesPerSec = 44100 * wave.Format.nBlockAlign;
        std::memcpy(block.data() + 64, &wave, sizeof(wave));
        return block;
    };
    std::vector<unsigned char> device = DeviceFormatBlock();
    std::vector<unsigned char> truncated(device.begin(), device.begin() + 90);
    struct Case {
        const char* name;
        std::vector<unsigned char> value;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"the device format", device, STATUS_SUCCESS},
        {"another rate", otherRate(), STATUS_NO_MATCH},
        {"raw mode", withMode(AUDIO_SIGNALPROCESSINGMODE_RAW), STATUS_SUCCESS},
        {"default mode", withMode(AUDIO_SIGNALPROCESSINGMODE_DEFAULT), STATUS_SUCCESS},
        {"communications mode", withMode(AUDIO_SIGNALPROCESSINGMODE_COMMUNICATIONS),
         STATUS_NO_MATCH},
        {"value shorter than its FormatSize", truncated, STATUS_BUFFER_TOO_SMALL},
    };
    const DeviceFormat before = direction.channel.currentFormat;
    for (const Case& c : cases) {
        PropertyProbe probe = Proposed(KSPROPERTY_TYPE_SET, 0);
        probe.value = c.value;
        EXPECT_EQ(probe.Run(ProposedFormatHandler), c.status) << c.name;
        EXPECT_TRUE(probe.guardsIntact) << c.name;
        EXPECT_TRUE(std::equal(c.value.begin(), c.value.end(), probe.valueOut.begin())) << c.name;
    }
    EXPECT_EQ(std::memcmp(&before, &direction.channel.currentFormat, sizeof(before)), 0);
}

TEST_F(MiniportWaveRTTest, ChannelConfiguration) {
    struct Case {
        const char* name;
        ULONG channels;
        ULONG verb;
        ULONG node;
        size_t valueSize;
        ULONG mask;
        NTSTATUS status;
        ULONG storedMask; // the channel's mask afterwards
        ULONG valueSizeOut;
    };
    const ULONG set = KSPROPERTY_TYPE_SET;
    const ULONG get = KSPROPERTY_TYPE_GET;
    const Case cases[] = {
        {"stereo mask on stereo", 2, set, 0, 4, 0x3, STATUS_SUCCESS, 0x3, 4},
        {"three speakers on stereo", 2, set, 0, 4, 0x7, STATUS_INVALID_PARAMETER, 0x600, 4},
        {"bit 18 on 8 channels", 8, set, 0, 4, 0x40000, STATUS_INVALID_PARAMETER, 0x600, 4},
        {"high bits with the right count", 1, set, 0, 4, 0x80000000, STATUS_INVALID_PARAMETER,
         0x600, 4},
        {"no speakers", 2, set, 0, 4, 0, STATUS_SUCCESS, 0, 4},
        {"larger value", 2, set, 0, 16, 0x3, STATUS_SUCCESS, 0x3, 16},
        {"empty value", 2, set, 0, 0, 0x3, STATUS_BUFFER_OVERFLOW, 0x600, 4},
        {"short value", 2, set, 0, 3, 0x3, STATUS_BUFFER_TOO_SMALL, 0x600, 3},
        {"another node", 2, set, 1, 4, 0x3, STATUS_NOT_FOUND, 0x600, 4},
        {"the filter", 2, get, 0xFFFFFFFF, 4, 0, STATUS_NOT_FOUND, 0x600, 4},
        {"neither get nor set", 2, 0, 0, 4, 0x3, STATUS_SUCCESS, 0x600, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        direction.SetFormat(48000, 16, c.channels, 2, 0x600);
        direction.block.ChannelMask = 0x600;
        PropertyProbe probe;
        probe.target = wave->MiniportInterface();
        probe.item = &ChannelConfigItem;
        probe.verb = c.verb;
        probe.node = c.node;
        probe.SetValueSize(c.valueSize);
        if (c.valueSize >= 4) {
            std::memcpy(probe.value.data(), &c.mask, sizeof(c.mask));
        }
        EXPECT_EQ(probe.Run(ChannelConfigHandler), c.status);
        EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut);
        EXPECT_TRUE(probe.guardsIntact);
        EXPECT_EQ(direction.channel.currentFormat.ChannelMask, c.storedMask);
        EXPECT_EQ(direction.block.ChannelMask, c.storedMask) << "the control block follows";
    }
}

TEST_F(MiniportWaveRTTest, FormatChangeEventOnTheStreamingPin) {
    FakePort<IPortWaveRT> port(true);
    wave->GenerateFormatChangeEvent(); // before Init: nobody to tell
    ASSERT_EQ(wave->Init(nullptr, nullptr, &port), STATUS_SUCCESS);
    wave->GenerateFormatChangeEvent();
    ASSERT_EQ(port.generated.size(), 1u);
    EXPECT_EQ(port.generated[0].id, ULONG{KSEVENT_PINCAPS_FORMATCHANGE});
    EXPECT_EQ(port.generated[0].pinId, WaveStreamingPin);
    miniport.reset(); // the miniport goes before the port it holds
    EXPECT_EQ(port.references, 0);
}

TEST_F(MiniportWaveRTTest, NewStreamRefusals) {
    std::vector<unsigned char> device = DeviceFormatBlock();
    std::vector<unsigned char> malformed = device;
    WORD zeroChannels = 0;
    std::memcpy(malformed.data() + 64 + 2, &zeroChannels, sizeof(zeroChannels));
    auto newStream = [&](std::vector<unsigned char>& block) {
        PMINIPORTWAVERTSTREAM stream = reinterpret_cast<PMINIPORTWAVERTSTREAM>(&block);
        NTSTATUS status = wave->NewStream(&stream, nullptr, WaveStreamingPin, FALSE,
                                          reinterpret_cast<PKSDATAFORMAT>(block.data()));
        EXPECT_EQ(stream, nullptr);
        return status;
    };
    EXPECT_EQ(newStream(device), STATUS_DEVICE_NOT_READY) << "no client";
    direction.Connect();
    EXPECT_EQ(newStream(malformed), STATUS_INVALID_PARAMETER);
    // A stream exists: refused before anything else is looked at.
    direction.channel.liveStream = reinterpret_cast<LiveStream*>(&direction.fakeObjects[0]);
    EXPECT_EQ(newStream(device), STATUS_INSUFFICIENT_RESOURCES);
    direction.Disconnect();
    EXPECT_EQ(newStream(device), STATUS_INSUFFICIENT_RESOURCES);
    direction.channel.liveStream = nullptr;
}

} // namespace
