// The endpoint property writer against endpoint stores laid out as the system's endpoint builder
// lays them out: which endpoints match, the value written, refused inputs, and registry failures
// at every step of the walk with every key closed afterwards.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "HostTest.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/Registry.h"
#include "transport/EndpointPropertyWriter.h"

namespace {

using host::AudioEndpoint;
using host::EndpointFlow;

const std::u16string OurInstance = u"ROOT\\MEDIA\\0000";
const std::u16string OurLink = u"\\??\\ROOT#MEDIA#0000#{acc2f77f-7e94-4cfd-a594-cfb76b622885}";

struct Link {
    explicit Link(std::u16string value) : text(std::move(value)) {
        string.Length = static_cast<USHORT>(text.size() * 2);
        string.MaximumLength = string.Length;
        string.Buffer = reinterpret_cast<PWSTR>(text.data());
    }
    std::u16string text;
    UNICODE_STRING string;
};

// The value's bytes are spelled out by the endpoint-format integration test; here it is decoded.
const char Stereo[] = "48000 Hz, 16 bits in 16, 2 channels (mask 0x3), PCM";

class EndpointPropertyWriterTest : public HostTest {
protected:
    NTSTATUS WriteStereo(const std::u16string& link = OurLink, BOOLEAN isCapture = TRUE,
                         const wchar_t* subdevice = L"wave_c") {
        Link name(link);
        return WriteEndpointFormatFor(&name.string, isCapture, subdevice, 48000, 16, 2, 2, 0x3);
    }

    static bool Written(const AudioEndpoint& endpoint) {
        return host::ReadEndpointDeviceFormat(endpoint).has_value();
    }
    static std::string Stored(const AudioEndpoint& endpoint) {
        std::optional<host::EndpointDeviceFormat> format = host::ReadEndpointDeviceFormat(endpoint);
        return format ? host::DescribeEndpointDeviceFormat(*format) : "nothing";
    }

    // A capture endpoint whose filter property is text, as REG_SZ.
    static AudioEndpoint CaptureEndpointNaming(const std::u16string& text) {
        AudioEndpoint endpoint = host::AddBareAudioEndpoint(EndpointFlow::Capture);
        host::WriteRegistryString(endpoint.propertiesPath, host::EndpointFilterProperty, text);
        return endpoint;
    }
};

TEST_F(EndpointPropertyWriterTest, ExtractsTheInstanceIdOnlyFromWellShapedLinks) {
    const std::u16string tail = u"#{acc2f77f-7e94-4cfd-a594-cfb76b622885}";
    struct Case {
        const char* what;
        std::u16string link;
        ULONG capacity;
        const char16_t* expected; // null: refused
    };
    const Case cases[] = {
        {"usual link", u"\\??\\ROOT#MEDIA#0000" + tail, 256, u"ROOT#MEDIA#0000"},
        {"reference string after the class", u"\\??\\ROOT#MEDIA#0000" + tail + u"\\Render", 256,
         u"ROOT#MEDIA#0000"},
        {"ten-unit id", u"\\??\\ABCDEFGHIJ" + tail, 256, u"ABCDEFGHIJ"},
        {"nine-unit id", u"\\??\\ABCDEFGHI" + tail, 256, nullptr},
        {"no prefix", u"ROOT#MEDIA#0000" + tail, 256, nullptr},
        {"other prefix", u"\\\\?\\ROOT#MEDIA#0000" + tail, 256, nullptr},
        {"no class", u"\\??\\ROOT#MEDIA#0000", 256, nullptr},
        {"class without #", u"\\??\\ROOT#MEDIA#0000" + tail.substr(1), 256, nullptr},
        {"class without braces", u"\\??\\ROOT#MEDIA#0000#acc2f77f-7e94-4cfd-a594-cfb76b6228850",
         256, nullptr},
        {"class alone", u"\\??\\" + tail.substr(1), 256, nullptr},
        {"empty", u"", 256, nullptr},
        {"id exactly the capacity", u"\\??\\ROOT#MEDIA#0000" + tail, 15, nullptr},
        {"id and terminator fit", u"\\??\\ROOT#MEDIA#0000" + tail, 16, u"ROOT#MEDIA#0000"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        std::u16string destination(300, u'*');
        const std::u16string link = test.link;
        NTSTATUS status = ExtractInstanceId(reinterpret_cast<PWSTR>(destination.data()),
                                            test.capacity, reinterpret_cast<PCWSTR>(link.c_str()));
        if (test.expected == nullptr) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(destination, std::u16string(300, u'*'));
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(std::u16string(destination.c_str()), test.expected);
        }
    }
}

TEST_F(EndpointPropertyWriterTest, TheSubdeviceMustStandMoreThan48UnitsAfterTheInstanceId) {
    // The backslash before the subdevice at 48 and at 49 units from the start of the id.
    const std::u16string id = u"ROOT#MEDIA#0000";
    const std::u16string at48 = u"{2}.\\\\?\\" + id + std::u16string(48 - id.size(), u'#');
    const std::u16string at49 = at48 + u"#";
    AudioEndpoint near = CaptureEndpointNaming(at48 + u"\\wave_c");
    AudioEndpoint far = CaptureEndpointNaming(at49 + u"\\wave_c");
    EXPECT_EQ(WriteStereo(), STATUS_SUCCESS);
    EXPECT_FALSE(Written(near));
    EXPECT_TRUE(Written(far));
}

TEST_F(EndpointPropertyWriterTest, LinksAreReadUpTo255UnitsAndOnlyWhenWellShaped) {
    // Device instance ids are at most 200 units; the link of such a device has 243.
    const std::u16string longest = u"ROOT\\MEDIA\\" + std::u16string(200 - 11, u'7');
    const std::u16string tail = u"#{acc2f77f-7e94-4cfd-a594-cfb76b622885}";
    std::u16string link = u"\\??\\" + longest + tail;
    for (size_t index = 4; index < link.size(); ++index) {
        link[index] = link[index] == u'\\' ? u'#' : link[index];
    }
    AudioEndpoint ours = host::AddAudioEndpoint(EndpointFlow::Capture, longest, u"wave_c");
    EXPECT_EQ(WriteStereo(link), STATUS_SUCCESS);
    EXPECT_TRUE(Written(ours));
    // 255 units is the longest link taken at all.
    const std::u16string limit =
        u"\\??\\ROOT#MEDIA#" + std::u16string(255 - 4 - 11 - 39, u'7') + tail;
    ASSERT_EQ(limit.size(), 255u);
    EXPECT_EQ(WriteStereo(limit), STATUS_SUCCESS);
    EXPECT_EQ(WriteStereo(u"\\??\\ROOT#MEDIA#7" + limit.substr(15)), STATUS_INVALID_PARAMETER);
    // A link the instance id cannot be taken from writes nothing.
    EXPECT_EQ(WriteStereo(u"ROOT#MEDIA#0000" + tail), STATUS_INVALID_PARAMETER);
}

// The endpoint-format integration test holds the spellings of a filter value to the writer;
// here, what it cannot reach.
TEST_F(EndpointPropertyWriterTest, EndpointsWithoutAPropertyStoreDoNotStopTheWalk) {
    host::CreateRegistryKey(host::AudioEndpointsPath(EndpointFlow::Capture) + u"\\{0}");
    AudioEndpoint ours = host::AddAudioEndpoint(EndpointFlow::Capture, OurInstance, u"wave_c");
    host::CreateRegistryKey(host::AudioEndpointsPath(EndpointFlow::Capture) + u"\\{zzz}");
    EXPECT_EQ(WriteStereo(), STATUS_SUCCESS);
    EXPECT_TRUE(Written(ours));
}

TEST_F(EndpointPropertyWriterTest, NoEndpointRootMeansNothingWritten) {
    EXPECT_EQ(WriteStereo(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(host::RegistryKeyExists(host::AudioEndpointsPath(EndpointFlow::Capture)));
}

TEST_F(EndpointPropertyWriterTest, EveryKeyIsClosedWhicheverRegistryCallFails) {
    host::AddAudioEndpoint(EndpointFlow::Capture, OurInstance, u"wave_c");
    host::AddAudioEndpoint(EndpointFlow::Capture, u"ROOT\\MEDIA\\0001", u"wave_c");
    host::AddAudioEndpoint(EndpointFlow::Capture, OurInstance, u"wave_c");
    // open root, then per endpoint: enumerate, open, query (and set when ours), then the last
    // enumeration: 1 + 4 + 3 + 4 + 1 calls.
    const unsigned calls = 13;
    for (unsigned failing = 1; failing <= calls; ++failing) {
        SCOPED_TRACE(failing);
        host::FailNthRegistryCall(failing, STATUS_DATA_LATE_ERROR);
        EXPECT_EQ(WriteStereo(), STATUS_DATA_LATE_ERROR);
        EXPECT_EQ(host::OpenRegistryHandleCount(), 0u);
    }
    host::ClearRegistryFaultInjection();
    host::FailNthRegistryCall(calls + 1, STATUS_DATA_LATE_ERROR);
    EXPECT_EQ(WriteStereo(), STATUS_SUCCESS);
    for (const AudioEndpoint& endpoint : host::ListAudioEndpoints()) {
        if (Written(endpoint)) {
            EXPECT_EQ(Stored(endpoint), Stereo);
        }
    }
    host::ClearRegistryFaultInjection();
}

} // namespace
