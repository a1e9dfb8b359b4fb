// Arbitrary property and event-enable requests sent from user mode to the driver's four filters
// (loaded and started once): nothing may crash, touch memory beyond the buffers, or upset the
// verifier.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <ksmedia.h>

#include "DriverTest.h"
#include "kernel/UserEvents.h"

namespace {

const char16_t* const FilterNames[] = {u"topo_c", u"wave_c", u"topo_r", u"wave_r"};

// Sets a request may name, so that most inputs reach a table rather than the "not found" path.
const GUID* const Sets[] = {&KSPROPSETID_Audio, &KSPROPSETID_Jack, &KSPROPSETID_Pin,
                            &KSEVENTSETID_PinCapsChange};

struct Harness : DriverTest {
    void TestBody() override {}
    void Open() {
        SetUp();
        LoadAndStart();
        audio = &NewProcess(false, "audio");
        for (int index = 0; index < 4; ++index) {
            const std::u16string tail = std::u16string(u"\\") + FilterNames[index];
            for (const std::u16string& path :
                 host::user::GetDeviceInterfacePaths(KSCATEGORY_AUDIO)) {
                if (path.size() > tail.size() &&
                    path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
                    host::ProcessScope scope(audio);
                    filters[index] = host::user::CreateFile(path);
                }
            }
        }
        host::ProcessScope scope(audio);
        event = host::user::CreateEvent(false, false);
    }
    host::Process* audio = nullptr;
    HANDLE filters[4] = {};
    HANDLE event = nullptr;
};

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
    HANDLE filter = harness->filters[(data[0] >> 2) & 3];
    const ULONG valueSize = (ULONG(data[1]) | ULONG(data[2]) << 8) & 0x3ff;
    const size_t setCount = sizeof(Sets) / sizeof(Sets[0]);
    const GUID* set = data[3] < 4 * 48 ? Sets[data[3] % setCount] : nullptr;
    std::vector<unsigned char> input(data + 4, data + size);
    if (set != nullptr && input.size() >= sizeof(GUID)) {
        std::memcpy(input.data(), set, sizeof(GUID));
    }
    // Exact-size buffers, so the sanitizers see any access beyond them.
    std::vector<unsigned char> value(valueSize);
    KSEVENTDATA eventData{};
    eventData.NotificationType = KSEVENTF_EVENT_HANDLE;
    eventData.EventHandle.Event = harness->event;
    if (enable && validEventData && valueSize >= sizeof(KSEVENTDATA)) {
        std::memcpy(value.data(), &eventData, sizeof(eventData));
    }
    host::ProcessScope scope(harness->audio);
    ULONG bytes = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    host::user::DeviceIoControl(filter, enable ? IOCTL_KS_ENABLE_EVENT : IOCTL_KS_PROPERTY,
                                input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                value.empty() ? nullptr : value.data(), valueSize, &bytes, &status);
    if (NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && bytes > valueSize) {
        __builtin_trap(); // a reply longer than the buffer it was written to
    }
    if (enable && NT_SUCCESS(status) && valueSize >= sizeof(KSEVENTDATA)) {
        // Disable it again, so that enabled events do not pile up across inputs.
        host::user::DeviceIoControl(filter, IOCTL_KS_DISABLE_EVENT, value.data(),
                                    sizeof(KSEVENTDATA), nullptr, 0, nullptr);
    }
    return 0;
}
