// Property requests on a filter, sent as the audio stack sends them (user-mode IOCTL_KS_PROPERTY
// with METHOD_NEITHER buffers): the port's own pin properties, the data intersection and the
// miniport's filter, pin and node tables, at every buffer size and with bad input.
#include <gtest/gtest.h>

#include <ksmedia.h>

#include "FakeMiniport.h"
#include "kernel/IoManager.h"

namespace {

using fake::FilterTest;

class PropertyTest : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        ASSERT_EQ(Start({{L"topo", false}}), STATUS_SUCCESS);
        filter = OpenFilter(u"topo");
        ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        {
            host::ProcessScope scope(client);
            host::user::CloseHandle(filter);
        }
        FilterTest::TearDown();
    }
    HANDLE filter = INVALID_HANDLE_VALUE;
};

KSP_PIN PinRequest(ULONG id, ULONG pin, ULONG flags = KSPROPERTY_TYPE_GET) {
    return KSP_PIN{{{KSPROPSETID_Pin, id, flags}}, pin, 0};
}

TEST_F(PropertyTest, PinPropertyBufferSizes) {
    struct Case {
        ULONG id;
        ULONG valueSize;
        NTSTATUS status;
        ULONG bytes;
    };
    const Case cases[] = {
        {KSPROPERTY_PIN_DATAFLOW, 0, STATUS_BUFFER_OVERFLOW, 4},
        {KSPROPERTY_PIN_DATAFLOW, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {KSPROPERTY_PIN_DATAFLOW, 4, STATUS_SUCCESS, 4},
        {KSPROPERTY_PIN_CATEGORY, 15, STATUS_BUFFER_TOO_SMALL, 0},
        {KSPROPERTY_PIN_DATARANGES, 0, STATUS_BUFFER_OVERFLOW, 136},
        {KSPROPERTY_PIN_DATARANGES, 4, STATUS_SUCCESS, 4}, // the list's size alone
        {KSPROPERTY_PIN_DATARANGES, 8, STATUS_SUCCESS, 8}, // its header alone
        {KSPROPERTY_PIN_DATARANGES, 135, STATUS_BUFFER_TOO_SMALL, 0},
        {KSPROPERTY_PIN_DATARANGES, 136, STATUS_SUCCESS, 136},
    };
    for (const Case& item : cases) {
        KSP_PIN request = PinRequest(item.id, 1);
        Reply reply = Property(filter, &request, sizeof(request), item.valueSize);
        EXPECT_EQ(reply.status, item.status) << item.id << "/" << item.valueSize;
        EXPECT_EQ(reply.bytes, item.bytes) << item.id << "/" << item.valueSize;
        EXPECT_EQ(value.at(item.valueSize), 0xEE) << item.id << "/" << item.valueSize;
    }
}

TEST_F(PropertyTest, PinPropertiesRefuseBadRequests) {
    struct Case {
        const char* what;
        KSP_PIN request;
        ULONG inputSize;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"pin beyond the filter", PinRequest(KSPROPERTY_PIN_DATAFLOW, 2), 32,
         STATUS_INVALID_PARAMETER},
        {"no pin id", PinRequest(KSPROPERTY_PIN_DATAFLOW, 0), 24, STATUS_INVALID_BUFFER_SIZE},
        {"set of a read-only property", PinRequest(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPERTY_TYPE_SET),
         32, STATUS_INVALID_DEVICE_REQUEST},
        {"no verb", PinRequest(KSPROPERTY_PIN_DATAFLOW, 0, 0), 32, STATUS_INVALID_PARAMETER},
        {"two verbs",
         PinRequest(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), 32,
         STATUS_INVALID_PARAMETER},
        {"unknown pin property", PinRequest(KSPROPERTY_PIN_MODEDATAFORMATS, 0), 32,
         STATUS_NOT_FOUND},
    };
    for (const Case& item : cases) {
        Reply reply = Property(filter, &item.request, item.inputSize, 16);
        EXPECT_EQ(reply.status, item.status) << item.what;
        EXPECT_EQ(value.at(0), 0xEE) << item.what;
    }
}

// The KSP_PIN of an intersection followed by a KSMULTIPLE_ITEM of the caller's ranges.
std::vector<unsigned char> IntersectionRequest(ULONG pin, const std::vector<KSDATARANGE>& ranges) {
    KSP_PIN head = PinRequest(KSPROPERTY_PIN_DATAINTERSECTION, pin);
    KSMULTIPLE_ITEM list{ULONG(sizeof(KSMULTIPLE_ITEM) + ranges.size() * sizeof(KSDATARANGE)),
                         ULONG(ranges.size())};
    std::vector<unsigned char> bytes(sizeof(head) + list.Size);
    std::memcpy(bytes.data(), &head, sizeof(head));
    std::memcpy(bytes.data() + sizeof(head), &list, sizeof(list));
    if (!ranges.empty()) {
        std::memcpy(bytes.data() + sizeof(head) + sizeof(list), ranges.data(),
                    ranges.size() * sizeof(KSDATARANGE));
    }
    return bytes;
}

using fake::MakeRange;

// A miniport that defers (as the driver's never does: the filter tests hold its own answers)
// leaves the intersection to the library.
TEST_F(PropertyTest, DataIntersectionFallsBackToTheLibraryWhenTheMiniportDefers) {
    const KSDATARANGE wild = MakeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_WILDCARD,
                                       KSDATAFORMAT_SPECIFIER_NONE);
    const KSDATARANGE video = MakeRange(KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_ANALOG,
                                        KSDATAFORMAT_SPECIFIER_NONE);
    const KSDATARANGE pcm = MakeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                                      KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    // Deferred to the library: the wildcard resolves to the pin's analog range; the pin's
    // wave range needs a format body it cannot build; another major type matches nothing.
    std::vector<unsigned char> request = IntersectionRequest(1, {video, wild});
    Reply size = Property(filter, request.data(), ULONG(request.size()), 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.bytes, 64u);
    EXPECT_EQ(Property(filter, request.data(), ULONG(request.size()), 63).status,
              STATUS_BUFFER_TOO_SMALL);
    Reply reply = Property(filter, request.data(), ULONG(request.size()), 100);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes, 64u);
    KSDATAFORMAT format;
    std::memcpy(&format, value.data(), sizeof(format));
    EXPECT_EQ(format.FormatSize, 64u);
    EXPECT_TRUE(IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG));
    request = IntersectionRequest(1, {pcm, video});
    EXPECT_EQ(Property(filter, request.data(), ULONG(request.size()), 100).status, STATUS_NO_MATCH);
}

TEST_F(PropertyTest, DataIntersectionRefusesMalformedRangeLists) {
    const KSDATARANGE analog = MakeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                                         KSDATAFORMAT_SPECIFIER_NONE);
    struct Case {
        const char* what;
        size_t listSizeOffset; // added to the list's Size
        ULONG count;
        ULONG formatSize;
        size_t cut; // bytes dropped from the request's end
        NTSTATUS status;
    };
    const Case cases[] = {
        {"list longer than the input", 8, 1, 64, 0, STATUS_INVALID_PARAMETER},
        {"list size below its header", size_t(-72), 1, 64, 0, STATUS_INVALID_PARAMETER},
        {"more ranges than the list holds", 0, 2, 64, 0, STATUS_INVALID_PARAMETER},
        {"range beyond the list", 0, 1, 72, 0, STATUS_INVALID_PARAMETER},
        {"range shorter than a KSDATARANGE", 0, 1, 8, 0, STATUS_INVALID_PARAMETER},
        {"no list at all", 0, 1, 64, 72, STATUS_INVALID_BUFFER_SIZE},
        {"an empty list", size_t(-64), 0, 64, 64, STATUS_NO_MATCH},
    };
    for (const Case& item : cases) {
        std::vector<unsigned char> request = IntersectionRequest(1, {analog});
        KSMULTIPLE_ITEM list;
        std::memcpy(&list, request.data() + 32, sizeof(list));
        list.Size += ULONG(item.listSizeOffset);
        list.Count = item.count;
        std::memcpy(request.data() + 32, &list, sizeof(list));
        std::memcpy(request.data() + 40, &item.formatSize, sizeof(ULONG));
        request.resize(request.size() - item.cut);
        EXPECT_EQ(Property(filter, request.data(), ULONG(request.size()), 100).status, item.status)
            << item.what;
    }
}

// A request of the fake set (a KSP_PIN has a KSP_NODE's layout).
KSP_NODE Fake(ULONG id, ULONG flags, ULONG instance = 0, const GUID& set = fake::FakeSet) {
    return KSP_NODE{{{set, id, flags}}, instance, 0};
}
const ULONG Get = KSPROPERTY_TYPE_GET;
const ULONG NodeGet = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
using fake::FilterPropertyId;
using fake::NodePropertyId;
using fake::PinPropertyId;

TEST_F(PropertyTest, AutomationRequestsRefuseBadInputBeforeAnyHandler) {
    struct Case {
        const char* what;
        KSP_NODE request;
        ULONG inputSize;
        NTSTATUS status;
    };
    const GUID unknownSet = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const ULONG set = KSPROPERTY_TYPE_SET;
    const ULONG nodeSupport = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY;
    const Case cases[] = {
        {"pin property without a pin id", Fake(PinPropertyId, Get), 24, STATUS_INVALID_BUFFER_SIZE},
        {"pin beyond the filter", Fake(PinPropertyId, Get, 2), 32, STATUS_INVALID_PARAMETER},
        {"node property without a node id", Fake(NodePropertyId, NodeGet), 28,
         STATUS_INVALID_BUFFER_SIZE},
        {"node beyond the filter", Fake(NodePropertyId, NodeGet, 1), 32, STATUS_INVALID_PARAMETER},
        {"node property without the topology flag", Fake(NodePropertyId, Get), 32,
         STATUS_NOT_FOUND},
        {"filter property on a node", Fake(FilterPropertyId, NodeGet), 32, STATUS_NOT_FOUND},
        {"unknown set", Fake(FilterPropertyId, Get, 0, unknownSet), 24, STATUS_NOT_FOUND},
        {"unknown id", Fake(99, Get), 24, STATUS_NOT_FOUND},
        {"set of a get-only item", Fake(PinPropertyId, set), 32, STATUS_INVALID_DEVICE_REQUEST},
        {"basic support the item lacks", Fake(NodePropertyId, nodeSupport), 32,
         STATUS_INVALID_DEVICE_REQUEST},
        {"serialisation verb", Fake(FilterPropertyId, KSPROPERTY_TYPE_SERIALIZESET), 24,
         STATUS_INVALID_PARAMETER},
        {"no verb", Fake(FilterPropertyId, 0), 24, STATUS_INVALID_PARAMETER},
        {"input shorter than a KSPROPERTY", Fake(FilterPropertyId, Get), 23,
         STATUS_INVALID_BUFFER_SIZE},
    };
    for (const Case& item : cases) {
        state.propertyCalls = 0;
        Reply reply = Property(filter, &item.request, item.inputSize, 4);
        EXPECT_EQ(reply.status, item.status) << item.what;
        EXPECT_EQ(state.propertyCalls, 0) << item.what;
    }
    KSPROPERTY support{{fake::FakeSet, 0, KSPROPERTY_TYPE_SETSUPPORT}};
    EXPECT_EQ(Property(filter, &support, sizeof(support), 0).status, STATUS_SUCCESS);
    support.Set = unknownSet;
    EXPECT_EQ(Property(filter, &support, sizeof(support), 0).status, STATUS_NOT_FOUND);
}

TEST_F(PropertyTest, AHandlerClaimingMoreThanTheBufferIsReportedAndCut) {
    state.overreport = 8;
    KSPROPERTY get{{fake::FakeSet, fake::FilterPropertyId, KSPROPERTY_TYPE_GET}};
    Reply reply = Property(filter, &get, sizeof(get), 6);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes, 6u);
    EXPECT_EQ(value.at(6), 0xEE);
    std::vector<std::string> findings = machine.Get<host::IoManager>().TakeFindings();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("reported 12 value bytes for a value buffer of 6"),
              std::string::npos)
        << findings[0];
}

} // namespace
