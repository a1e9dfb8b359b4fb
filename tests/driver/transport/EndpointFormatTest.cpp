// A client's format change reaching the audio endpoints: the real driver in the host platform, the
// endpoints the endpoint builder made for its WaveRT filters beside those of other devices, and
// the client's IOCTL_TRANSPORT_SET_FORMAT as the only trigger.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "DriverTest.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/Registry.h"

namespace {

using host::AudioEndpoint;
using host::EndpointFlow;

const std::u16string OurInstance = u"ROOT\\MEDIA\\0000";

// The 48,000 Hz, 16-bit, 2-channel, 2-byte-container, front-pair value, spelled out.
const std::vector<uint8_t> StereoValue = {
    0x41, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, // VT_BLOB, 40 bytes
    0xFE, 0xFF, 0x02, 0x00,                         // extensible, 2 channels
    0x80, 0xBB, 0x00, 0x00,                         // 48,000
    0x00, 0xEE, 0x02, 0x00,                         // 192,000
    0x04, 0x00, 0x10, 0x00, 0x16, 0x00,             // align 4, 16 bits, cbSize 22
    0x10, 0x00, 0x03, 0x00, 0x00, 0x00,             // 16 valid bits, mask 0x3
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, // PCM sub-format
    0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71,
};

const transport::SetFormatInput Stereo48k = {transport::ProtocolVersion, 48000, 16, 2, 2, 0x3};

// The Render channel carries what applications record, so its WaveRT filter ("wave_c") serves
// capture endpoints; the Capture channel's ("wave_r") serves render endpoints.
struct ChannelCase {
    const char* name;
    bool renderChannel;
    EndpointFlow servedFlow;
    const char16_t* servingFilter;
    EndpointFlow otherFlow;
    const char16_t* otherFilter;
};
const ChannelCase Channels[] = {
    {"RenderChannel", true, EndpointFlow::Capture, u"wave_c", EndpointFlow::Render, u"wave_r"},
    {"CaptureChannel", false, EndpointFlow::Render, u"wave_r", EndpointFlow::Capture, u"wave_c"},
};

// An endpoint of flow whose filter property holds text, in the registry type given.
AudioEndpoint EndpointNaming(EndpointFlow flow, const std::u16string& text, ULONG type = REG_SZ) {
    AudioEndpoint endpoint = host::AddBareAudioEndpoint(flow);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    host::WriteRegistryValue(endpoint.propertiesPath, host::EndpointFilterProperty, type,
                             std::vector<uint8_t>(bytes, bytes + text.size() * sizeof(char16_t)));
    return endpoint;
}

void PrintTo(const ChannelCase& channel, std::ostream* out) {
    *out << channel.name;
}

std::optional<std::vector<uint8_t>> StoredFormat(const AudioEndpoint& endpoint) {
    std::optional<host::RegistryValue> value =
        host::ReadRegistryValue(endpoint.propertiesPath, host::EndpointDeviceFormatProperty);
    if (!value) {
        return std::nullopt;
    }
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_BINARY));
    return value->data;
}

std::u16string FilterNamed(const AudioEndpoint& endpoint) {
    std::optional<host::RegistryValue> value =
        host::ReadRegistryValue(endpoint.propertiesPath, host::EndpointFilterProperty);
    if (!value || value->type != REG_SZ) {
        return u"";
    }
    std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()),
                        value->data.size() / sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

class EndpointFormatTest : public DriverTest, public testing::WithParamInterface<ChannelCase> {
protected:
    void SetUp() override {
        LoadAndStart();
        client = &NewProcess(false);
        file = OpenTransport(*client, GetParam().renderChannel);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (file != INVALID_HANDLE_VALUE) {
            Close(*client, file);
        }
        DriverTest::TearDown();
    }

    NTSTATUS SetFormat(const transport::SetFormatInput& format) {
        return Control(*client, file, transport::IoctlSetFormat, &format, sizeof(format), nullptr,
                       0);
    }
    // The endpoints under flow that name filter of our device, in enumeration order.
    static std::vector<AudioEndpoint> OursNaming(EndpointFlow flow, const char16_t* filter) {
        const std::u16string wanted = u"{2}." + host::AudioFilterInterfacePath(OurInstance, filter);
        std::vector<AudioEndpoint> found;
        for (const AudioEndpoint& endpoint : host::ListAudioEndpoints()) {
            if (endpoint.flow == flow && FilterNamed(endpoint) == wanted) {
                found.push_back(endpoint);
            }
        }
        return found;
    }

    host::Process* client = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
};

std::string ChannelName(const testing::TestParamInfo<ChannelCase>& info) {
    return info.param.name;
}

TEST_P(EndpointFormatTest, AFormatChangeWritesEveryMatchingEndpointAndNothingElse) {
    const ChannelCase& channel = GetParam();
    const std::u16string otherDevice = u"ROOT\\MEDIA\\0001";
    const std::u16string ours =
        u"{2}." + host::AudioFilterInterfacePath(OurInstance, channel.servingFilter);
    // 512 bytes without a terminator, naming our filter at their end.
    std::u16string full = ours;
    full.insert(4, 256 - ours.size(), u'x');
    struct Case {
        const char* what;
        AudioEndpoint endpoint;
        bool written;
    };
    const Case cases[] = {
        {"the builder's endpoint", OursNaming(channel.servedFlow, channel.servingFilter).at(0),
         true},
        {"a second endpoint of our filter",
         host::AddAudioEndpoint(channel.servedFlow, OurInstance, channel.servingFilter), true},
        {"the other filter's endpoint", OursNaming(channel.otherFlow, channel.otherFilter).at(0),
         false},
        {"our filter under the other root",
         host::AddAudioEndpoint(channel.otherFlow, OurInstance, channel.servingFilter), false},
        {"another device's filter of the same name",
         host::AddAudioEndpoint(channel.servedFlow, otherDevice, channel.servingFilter), false},
        {"our device's other filter under this root",
         host::AddAudioEndpoint(channel.servedFlow, OurInstance, channel.otherFilter), false},
        {"an endpoint without properties", host::AddBareAudioEndpoint(channel.servedFlow), false},
        {"our filter with the device id in lower case",
         EndpointNaming(
             channel.servedFlow,
             u"{2}." + host::AudioFilterInterfacePath(u"root\\media\\0000", channel.servingFilter)),
         true},
        {"a device whose id extends ours",
         host::AddAudioEndpoint(channel.servedFlow, u"ROOT\\MEDIA\\00001", channel.servingFilter),
         false},
        {"a device whose id ends in ours",
         host::AddAudioEndpoint(channel.servedFlow, u"XROOT\\MEDIA\\0000", channel.servingFilter),
         false},
        {"our filter in a binary property", EndpointNaming(channel.servedFlow, ours, REG_BINARY),
         false},
        {"a filter property longer than any path of ours",
         EndpointNaming(channel.servedFlow, u"{2}." + std::u16string(400, u'x')), false},
        {"our filter filling the whole property", EndpointNaming(channel.servedFlow, full), true},
    };
    const size_t handlesBefore = host::OpenRegistryHandleCount();

    ASSERT_EQ(SetFormat(Stereo48k), STATUS_SUCCESS);

    EXPECT_EQ(host::OpenRegistryHandleCount(), handlesBefore);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        std::optional<std::vector<uint8_t>> stored = StoredFormat(test.endpoint);
        EXPECT_EQ(stored.has_value(), test.written);
        if (test.written && stored) {
            EXPECT_EQ(*stored, StereoValue);
            std::optional<host::EndpointDeviceFormat> decoded =
                host::ReadEndpointDeviceFormat(test.endpoint);
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(host::DescribeEndpointDeviceFormat(*decoded),
                      "48000 Hz, 16 bits in 16, 2 channels (mask 0x3), PCM");
        }
    }
}

// A format other than the start-up one is written in its own shape. (An unchanged format writes
// nothing and raises no event: one check gates both, and the filter tests hold the event.)
TEST_P(EndpointFormatTest, AnotherFormatIsWrittenInItsOwnShape) {
    const ChannelCase& channel = GetParam();
    const AudioEndpoint endpoint = OursNaming(channel.servedFlow, channel.servingFilter).at(0);
    const transport::SetFormatInput mono = {transport::ProtocolVersion, 44100, 24, 1, 4, 0x4};
    ASSERT_EQ(SetFormat(mono), STATUS_SUCCESS);
    std::optional<host::EndpointDeviceFormat> decoded = host::ReadEndpointDeviceFormat(endpoint);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(host::DescribeEndpointDeviceFormat(*decoded),
              "44100 Hz, 24 bits in 32, 1 channels (mask 0x4), PCM");
}

TEST_P(EndpointFormatTest, ARegistryFailureMidWalkKeepsWhatWasWrittenAndClosesEveryKey) {
    const ChannelCase& channel = GetParam();
    host::AddAudioEndpoint(channel.servedFlow, OurInstance, channel.servingFilter);
    host::AddAudioEndpoint(channel.servedFlow, OurInstance, channel.servingFilter);
    const std::vector<AudioEndpoint> ours = OursNaming(channel.servedFlow, channel.servingFilter);
    ASSERT_EQ(ours.size(), 3u);
    host::FailNextRegistryCall(host::RegistryCall::SetValueKey, ours[1].propertiesPath,
                               STATUS_INSUFFICIENT_RESOURCES);
    const size_t handlesBefore = host::OpenRegistryHandleCount();

    // The registry copy is a courtesy: its failure does not fail the client's request.
    EXPECT_EQ(SetFormat(Stereo48k), STATUS_SUCCESS);

    EXPECT_EQ(host::OpenRegistryHandleCount(), handlesBefore);
    EXPECT_EQ(StoredFormat(ours[0]), StereoValue);
    EXPECT_FALSE(StoredFormat(ours[1]).has_value());
    EXPECT_FALSE(StoredFormat(ours[2]).has_value()); // the walk stopped at the failure
}

TEST_P(EndpointFormatTest, AFormatNoRecordCanDescribeIsTakenButWrittenNowhere) {
    const ChannelCase& channel = GetParam();
    const AudioEndpoint endpoint = OursNaming(channel.servedFlow, channel.servingFilter).at(0);
    // 32 bits do not fit a 1-byte container: BuildWaveFormat refuses what the limits allow.
    const transport::SetFormatInput unfit = {transport::ProtocolVersion, 48000, 32, 2, 1, 0x3};
    const size_t handlesBefore = host::OpenRegistryHandleCount();
    EXPECT_EQ(SetFormat(unfit), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenRegistryHandleCount(), handlesBefore);
    for (const AudioEndpoint& any : host::ListAudioEndpoints()) {
        EXPECT_FALSE(StoredFormat(any).has_value());
    }
    // The next describable format is written as usual.
    ASSERT_EQ(SetFormat(Stereo48k), STATUS_SUCCESS);
    EXPECT_EQ(StoredFormat(endpoint), StereoValue);
}

// Endpoints outlive their device, as they do on Windows: an endpoint a filter already has is
// kept rather than doubled, and a device that comes back as another instance gets its own.
class EndpointLifetimeTest : public DriverTest {
protected:
    NTSTATUS SetRenderChannelFormat(const transport::SetFormatInput& format) {
        host::Process& client = NewProcess(false);
        HANDLE file = OpenTransport(client, true);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        NTSTATUS status =
            Control(client, file, transport::IoctlSetFormat, &format, sizeof(format), nullptr, 0);
        Close(client, file);
        return status;
    }
};

TEST_F(EndpointLifetimeTest, AnEndpointTheFilterAlreadyHasIsKept) {
    // Left by an earlier start; the builder's own spelling of the filter may differ in case.
    const AudioEndpoint earlier =
        host::AddAudioEndpoint(EndpointFlow::Capture, OurInstance, u"WAVE_C");
    LoadAndStart();
    const std::vector<AudioEndpoint> endpoints = host::ListAudioEndpoints();
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[1].keyPath, earlier.keyPath);
    ASSERT_EQ(SetRenderChannelFormat(Stereo48k), STATUS_SUCCESS);
    EXPECT_EQ(StoredFormat(earlier), StereoValue);
}

TEST_F(EndpointLifetimeTest, ANewInstanceGetsItsOwnEndpointsAndLeavesTheOldOnesAlone) {
    LoadAndStart();
    ASSERT_EQ(SetRenderChannelFormat(Stereo48k), STATUS_SUCCESS);
    const std::vector<AudioEndpoint> first = host::ListAudioEndpoints();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(Unload().empty());

    unloaded = false;
    LoadAndStart(); // the host enumerates the device afresh: ROOT\MEDIA\0001
    const transport::SetFormatInput mono = {transport::ProtocolVersion, 44100, 16, 1, 2, 0x4};
    ASSERT_EQ(SetRenderChannelFormat(mono), STATUS_SUCCESS);
    std::vector<AudioEndpoint> fresh;
    for (const AudioEndpoint& endpoint : host::ListAudioEndpoints()) {
        if (endpoint.keyPath != first[0].keyPath && endpoint.keyPath != first[1].keyPath) {
            fresh.push_back(endpoint);
        }
    }
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_EQ(FilterNamed(fresh[1]),
              u"{2}." + host::AudioFilterInterfacePath(u"ROOT\\MEDIA\\0001", u"wave_c"));
    EXPECT_EQ(StoredFormat(first[1]), StereoValue);
    ASSERT_TRUE(host::ReadEndpointDeviceFormat(fresh[1]).has_value());
    EXPECT_EQ(host::ReadEndpointDeviceFormat(fresh[1])->channels, 1u);
}

INSTANTIATE_TEST_SUITE_P(Channels, EndpointFormatTest, testing::ValuesIn(Channels), ChannelName);

} // namespace
