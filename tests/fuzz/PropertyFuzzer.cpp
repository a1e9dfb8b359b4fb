// Arbitrary property and event-enable requests (header, instance, value size) sent from user
// mode to a filter of the fake adapter: nothing may crash or touch memory beyond the buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <ksmedia.h>

#include "FakeMiniport.h"

namespace {

// The fake adapter, loaded and started once; each input runs against its open filter.
struct Harness : fake::FilterTest {
    void TestBody() override {}
    void Open() {
        SetUp();
        Start({{L"topo", false}});
        filter = OpenFilter(u"topo");
        host::ProcessScope scope(client);
        eventHandle = client->Handles().Insert(event);
    }
    HANDLE filter = nullptr;
    std::shared_ptr<fake::UserEvent> event = std::make_shared<fake::UserEvent>();
    HANDLE eventHandle = nullptr;
};

// Sets a request may name, so that most inputs reach a table rather than the "not found" path.
const GUID* const Sets[] = {&fake::FakeSet, &fake::FakeEventSet, &KSPROPSETID_Pin};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = [] {
        auto* created = new Harness; // lives for the whole run
        created->Open();
        return created;
    }();
    if (size < 4) {
        return 0;
    }
    const bool enable = (data[0] & 1) != 0;
    const bool validEventData = (data[0] & 2) != 0;
    const ULONG valueSize = (ULONG(data[1]) | ULONG(data[2]) << 8) & 0x3ff;
    const GUID* set = data[3] < 3 * 64 ? Sets[data[3] % 3] : nullptr;
    std::vector<unsigned char> input(data + 4, data + size);
    if (set != nullptr && input.size() >= sizeof(GUID)) {
        std::memcpy(input.data(), set, sizeof(GUID));
    }
    // Exact-size buffers, so the sanitizers see any write beyond them.
    std::vector<unsigned char> value(valueSize);
    if (enable && validEventData && valueSize >= sizeof(KSEVENTDATA)) {
        KSEVENTDATA eventData{};
        eventData.NotificationType = KSEVENTF_EVENT_HANDLE;
        eventData.EventHandle.Event = harness->eventHandle;
        std::memcpy(value.data(), &eventData, sizeof(eventData));
    }
    host::ProcessScope scope(harness->client);
    ULONG bytes = 0;
    host::user::DeviceIoControl(harness->filter, enable ? IOCTL_KS_ENABLE_EVENT : IOCTL_KS_PROPERTY,
                                input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                value.empty() ? nullptr : value.data(), valueSize, &bytes);
    if (enable) {
        GUID eventSet = fake::FakeEventSet;
        for (fake::FakeTopology& miniport : harness->topologies) {
            if (miniport.events != nullptr) {
                miniport.events->GenerateEventList(&eventSet, fake::FilterEventId, TRUE, 1, FALSE,
                                                   0);
            }
        }
        host::user::DeviceIoControl(harness->filter, IOCTL_KS_DISABLE_EVENT, nullptr, 0, nullptr, 0,
                                    nullptr);
    }
    return 0;
}
