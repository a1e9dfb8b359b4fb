// Device-interface properties as a driver sets and reads them, with Windows's refusals and the
// host's stricter ones for the audio stack's packet-size keys; and the two calls a driver needs
// to reach them on any Windows: the base of its device stack and a routine looked up by name.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <ksmedia.h>

#include "HostTest.h"
#include "kernel/IoManager.h"
#include "kernel/Objects.h"
#include "kernel/Version.h"

namespace {

const DEVPROPKEY OtherKey = {{0x1234, 0x5678, 0x9abc, {1, 2, 3, 4, 5, 6, 7, 8}}, 2};

class InterfacePropertyTest : public HostTest {
protected:
    void SetUp() override {
        physical = machine.Get<host::IoManager>().CreateRootDevice(u"MEDIA");
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, L"wave_r");
        ASSERT_EQ(IoRegisterDeviceInterface(physical, &KSCATEGORY_AUDIO, &reference, &link),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        RtlFreeUnicodeString(&link);
        machine.Get<host::IoManager>().DeleteDevice(physical);
        HostTest::TearDown();
    }
    NTSTATUS Set(const DEVPROPKEY& key, DEVPROPTYPE type, const void* data, ULONG size,
                 LCID lcid = LOCALE_NEUTRAL, ULONG flags = 0) {
        return IoSetDeviceInterfacePropertyData(&link, &key, lcid, flags, type, size,
                                                const_cast<void*>(data));
    }

    PDEVICE_OBJECT physical = nullptr;
    UNICODE_STRING link{};
};

// A packet-size record counting `entries` processing-mode entries, `bytes` long.
std::vector<unsigned char> PacketRecord(ULONG entries, size_t bytes) {
    std::vector<unsigned char> record(bytes);
    std::memcpy(record.data() + 12, &entries, sizeof(entries));
    return record;
}

TEST_F(InterfacePropertyTest, ASetIsRefusedUnlessTheValueFitsItsTypeAndKey) {
    const ULONG number = 7;
    const WCHAR unterminated[2] = {L'a', L'b'};
    const std::vector<unsigned char> oneEntry = PacketRecord(1, 40);
    const std::vector<unsigned char> twoClaimed = PacketRecord(2, 40);
    struct Case {
        const char* what;
        DEVPROPKEY key;
        DEVPROPTYPE type;
        const void* data;
        ULONG size;
        LCID lcid;
        ULONG flags;
        NTSTATUS status;
    };
    const DEVPROPKEY packet = DEVPKEY_KsAudio_PacketSize_Constraints2;
    const Case cases[] = {
        {"a 32-bit number", OtherKey, DEVPROP_TYPE_UINT32, &number, 4, 0, 0, STATUS_SUCCESS},
        {"persistent", OtherKey, DEVPROP_TYPE_UINT32, &number, 4, 0, 1, STATUS_SUCCESS},
        {"a packet record", packet, DEVPROP_TYPE_BINARY, oneEntry.data(), 40, 0, 0, STATUS_SUCCESS},
        {"the system's default locale", OtherKey, DEVPROP_TYPE_UINT32, &number, 4,
         LOCALE_SYSTEM_DEFAULT, 0, STATUS_UNSUCCESSFUL},
        {"an unknown flag", OtherKey, DEVPROP_TYPE_UINT32, &number, 4, 0, 2,
         STATUS_INVALID_PARAMETER},
        {"a number of 3 bytes", OtherKey, DEVPROP_TYPE_UINT32, &number, 3, 0, 0,
         STATUS_INVALID_PARAMETER},
        {"a string without its terminator", OtherKey, DEVPROP_TYPE_STRING, unterminated, 4, 0, 0,
         STATUS_INVALID_PARAMETER},
        {"a value for the empty type", OtherKey, DEVPROP_TYPE_EMPTY, &number, 4, 0, 0,
         STATUS_INVALID_PARAMETER},
        {"a list of numbers", OtherKey, DEVPROP_TYPE_UINT32 | DEVPROP_TYPEMOD_LIST, &number, 4, 0,
         0, STATUS_INVALID_PARAMETER},
        {"a size without data", OtherKey, DEVPROP_TYPE_UINT32, nullptr, 4, 0, 0,
         STATUS_INVALID_PARAMETER},
        {"a packet record as a number", packet, DEVPROP_TYPE_UINT32, &number, 4, 0, 0,
         STATUS_INVALID_PARAMETER},
        {"a packet record short of its entries", packet, DEVPROP_TYPE_BINARY, twoClaimed.data(), 40,
         0, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Set(c.key, c.type, c.data, c.size, c.lcid, c.flags), c.status);
    }
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\ROOT#MEDIA#0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}");
    EXPECT_EQ(IoSetDeviceInterfacePropertyData(&unknown, &OtherKey, 0, 0, DEVPROP_TYPE_UINT32, 4,
                                               const_cast<ULONG*>(&number)),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(InterfacePropertyTest, AGetCopiesTheValueOrSaysHowMuchItNeeds) {
    const ULONG number = 0x01020304;
    ASSERT_EQ(Set(OtherKey, DEVPROP_TYPE_UINT32, &number, 4), STATUS_SUCCESS);
    ULONG value = 0;
    ULONG required = 99;
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    EXPECT_EQ(
        IoGetDeviceInterfacePropertyData(&link, &OtherKey, 0, 0, 0, nullptr, &required, &type),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(required, 4u);
    EXPECT_EQ(IoGetDeviceInterfacePropertyData(&link, &OtherKey, 0, 1, 4, &value, &required, &type),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(IoGetDeviceInterfacePropertyData(&link, &OtherKey, 0, 0, 4, &value, &required, &type),
              STATUS_SUCCESS);
    EXPECT_EQ(value, number);
    EXPECT_EQ(type, DEVPROP_TYPE_UINT32);
    // Each locale keeps its own value.
    EXPECT_EQ(
        IoGetDeviceInterfacePropertyData(&link, &OtherKey, 0x409, 0, 4, &value, &required, &type),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(required, 0u);
    EXPECT_EQ(type, DEVPROP_TYPE_EMPTY);
    // No data deletes, once.
    EXPECT_EQ(Set(OtherKey, DEVPROP_TYPE_EMPTY, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(Set(OtherKey, DEVPROP_TYPE_EMPTY, nullptr, 0), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(InterfacePropertyTest, PacketConstraintsComeTooLateOnceTheInterfaceIsEnabled) {
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    const std::vector<unsigned char> record = PacketRecord(1, 40);
    EXPECT_EQ(Set(DEVPKEY_KsAudio_PacketSize_Constraints2, DEVPROP_TYPE_BINARY, record.data(), 40),
              STATUS_INVALID_DEVICE_STATE);
    const ULONG number = 1;
    EXPECT_EQ(Set(OtherKey, DEVPROP_TYPE_UINT32, &number, 4), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
}

TEST_F(InterfacePropertyTest, TheStackBaseIsThePhysicalDeviceWithAReference) {
    PDRIVER_OBJECT driver = machine.Get<host::IoManager>().CreateDriverObject(u"\\Driver\\f");
    PDEVICE_OBJECT functional = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &functional),
              STATUS_SUCCESS);
    IoAttachDeviceToDeviceStack(functional, physical);
    EXPECT_EQ(IoGetDeviceAttachmentBaseRef(functional), physical);
    EXPECT_EQ(host::ObjectReferenceCount(physical), 1);
    ObDereferenceObject(physical);
    IoDetachDevice(physical);
    IoDeleteDevice(functional);
    machine.Get<host::IoManager>().DeleteDriverObject(driver);
}

TEST_F(InterfacePropertyTest, ARoutineIsFoundOnlyWhereThatWindowsHasIt) {
    struct Case {
        const wchar_t* name;
        ULONG major;
        ULONG minor;
        const void* found;
    };
    const Case cases[] = {
        {L"IoSetDeviceInterfacePropertyData", 10, 0,
         reinterpret_cast<const void*>(&IoSetDeviceInterfacePropertyData)},
        {L"IoSetDeviceInterfacePropertyData", 6, 2,
         reinterpret_cast<const void*>(&IoSetDeviceInterfacePropertyData)},
        {L"IoSetDeviceInterfacePropertyData", 6, 1, nullptr},
        {L"IoRegisterDeviceInterface", 6, 0,
         reinterpret_cast<const void*>(&IoRegisterDeviceInterface)},
        {L"malloc", 10, 0, nullptr}, // the C library's, not the kernel's
        {L"NoSuchRoutine", 10, 0, nullptr},
    };
    for (const Case& c : cases) {
        host::SetOsVersion(c.major, c.minor, 0);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, c.name);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name), c.found)
            << host::ToUtf8(host::FromUnicodeString(&name)) << " on " << c.major << "." << c.minor;
    }
}

} // namespace
