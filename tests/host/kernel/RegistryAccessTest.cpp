// Access to keys by previous mode: user-mode callers are held to the access granted when the
// handle was opened and to their own handles; kernel-mode callers (the Zw routines) are not
// access-checked, so a driver may write through a handle opened for reading.
#include <gtest/gtest.h>

#include "HostTest.h"
#include "RegistryTestSupport.h"
#include "kernel/Registry.h"

namespace {

const std::u16string Vendor = u"\\Registry\\Machine\\SOFTWARE\\Vendor";

class RegistryAccessTest : public HostTest {
protected:
    void SetUp() override { host::CreateRegistryKey(Vendor + u"\\Sub"); }

    NTSTATUS OpenFrom(KPROCESSOR_MODE mode, HANDLE* key, ACCESS_MASK access, ULONG attributes) {
        CountedName name(Vendor);
        OBJECT_ATTRIBUTES objectAttributes;
        InitializeObjectAttributes(&objectAttributes, &name.string, attributes, nullptr, NULL);
        return host::OpenKeyFrom(mode, key, access, &objectAttributes);
    }

    CountedName valueName{u"Value"};
    ULONG word = 5;
};

TEST_F(RegistryAccessTest, UserModeCallersNeedTheRightForEachCall) {
    struct Case {
        const char* what;
        ACCESS_MASK access;
        bool canQuery;
        bool canEnumerate;
        bool canSet;
    };
    const Case cases[] = {
        {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, true, false, false},
        {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, false, true, false},
        {"KEY_SET_VALUE", KEY_SET_VALUE, false, false, true},
        {"GENERIC_READ", GENERIC_READ, true, true, false},
        {"GENERIC_WRITE", GENERIC_WRITE, false, false, true},
        {"nothing", 0, false, false, false},
    };
    host::WriteRegistryValue(Vendor, u"Value", REG_DWORD, {1, 0, 0, 0});
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        HANDLE key = nullptr;
        ASSERT_EQ(OpenFrom(UserMode, &key, test.access, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
        alignas(8) unsigned char buffer[64];
        ULONG resultLength = 0;
        EXPECT_EQ(host::QueryValueKeyFrom(UserMode, key, &valueName.string,
                                          KeyValuePartialInformation, buffer, sizeof(buffer),
                                          &resultLength),
                  test.canQuery ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(host::EnumerateKeyFrom(UserMode, key, 0, KeyBasicInformation, buffer,
                                         sizeof(buffer), &resultLength),
                  test.canEnumerate ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(host::SetValueKeyFrom(UserMode, key, &valueName.string, REG_DWORD, &word, 4),
                  test.canSet ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        // The same handle used from kernel mode is not checked at all.
        EXPECT_EQ(host::SetValueKeyFrom(KernelMode, key, &valueName.string, REG_DWORD, &word, 4),
                  STATUS_SUCCESS);
        EXPECT_EQ(host::CloseKeyFrom(UserMode, key), STATUS_SUCCESS);
    }
}

TEST_F(RegistryAccessTest, KernelHandlesAreOutOfUserModeReach) {
    HANDLE key = nullptr;
    EXPECT_EQ(OpenFrom(UserMode, &key, KEY_READ, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(OpenFrom(KernelMode, &key, KEY_READ, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE),
              STATUS_SUCCESS);
    alignas(8) unsigned char buffer[64];
    ULONG resultLength = 0;
    EXPECT_EQ(host::EnumerateKeyFrom(UserMode, key, 0, KeyBasicInformation, buffer, sizeof(buffer),
                                     &resultLength),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::CloseKeyFrom(UserMode, key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::OpenRegistryHandleCount(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

} // namespace
