// Registry keys and values through the Zw routines: name resolution, enumeration order, the
// information layouts with the statuses and result lengths of short buffers, failure injection
// and the verifier's report of open handles.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "HostTest.h"
#include "kernel/Irql.h"
#include "kernel/Registry.h"

namespace {

struct CountedName {
    explicit CountedName(std::u16string value) : text(std::move(value)) {
        string.Length = static_cast<USHORT>(text.size() * 2);
        string.MaximumLength = string.Length;
        string.Buffer = reinterpret_cast<PWSTR>(text.data());
    }
    std::u16string text;
    UNICODE_STRING string;
};

NTSTATUS OpenKey(HANDLE* key, const std::u16string& path, HANDLE root = nullptr,
                 ACCESS_MASK access = KEY_READ) {
    CountedName name(path);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name.string,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwOpenKey(key, access, &objectAttributes);
}

NTSTATUS CreateKey(HANDLE* key, const std::u16string& path, HANDLE root = nullptr,
                   ULONG* disposition = nullptr) {
    CountedName name(path);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name.string,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &objectAttributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       disposition);
}

const std::u16string Software = u"\\Registry\\Machine\\SOFTWARE";
const std::u16string Vendor = u"\\Registry\\Machine\\SOFTWARE\\Vendor";
constexpr unsigned char Untouched = 0xAB;

class RegistryTest : public HostTest {};
using RegistryDeathTest = RegistryTest;

TEST_F(RegistryTest, CreatesOneLevelAtATimeAndOpensWhateverTheCase) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(&key, Vendor + u"\\Product\\Deeper"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(CreateKey(&key, Vendor, nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE child = nullptr;
    ASSERT_EQ(CreateKey(&child, u"Product", key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(&child, u"PRODUCT", key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    HANDLE opened = nullptr;
    ASSERT_EQ(OpenKey(&opened, u"\\REGISTRY\\machine\\software\\VENDOR\\product"), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(opened), STATUS_SUCCESS);
    // The name keeps the spelling it was created with.
    EXPECT_EQ(host::RegistrySubkeyNames(Vendor), std::vector<std::u16string>{u"Product"});
    EXPECT_EQ(host::OpenRegistryHandleCount(), 0u);
}

TEST_F(RegistryTest, OpenRefusesBadNamesWithTheStatusesWindowsGives) {
    host::CreateRegistryKey(Vendor + u"\\Product");
    HANDLE vendor = nullptr;
    ASSERT_EQ(OpenKey(&vendor, Vendor), STATUS_SUCCESS);
    struct Case {
        const char* what;
        std::u16string path;
        bool relative;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"missing key above", Vendor + u"\\Other\\Product", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative name without a root", u"Registry\\Machine", false,
         STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"absolute name under a root", u"\\Product", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"empty element", Vendor + u"\\\\Product", false, STATUS_OBJECT_NAME_INVALID},
        {"trailing separator", u"Product\\", true, STATUS_OBJECT_NAME_INVALID},
        {"outside the registry", u"\\Device\\Something", false, STATUS_OBJECT_PATH_NOT_FOUND},
        {"relative under a root", u"product", true, STATUS_SUCCESS},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        HANDLE key = nullptr;
        EXPECT_EQ(OpenKey(&key, test.path, test.relative ? vendor : nullptr), test.status);
        if (NT_SUCCESS(test.status)) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }
    HANDLE key = nullptr;
    HANDLE stale = vendor;
    EXPECT_EQ(ZwClose(vendor), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(&key, u"Product", stale), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::OpenRegistryHandleCount(), 0u);
}

TEST_F(RegistryTest, EnumeratesSubkeysInNameOrderAndCutsOnlyTheName) {
    for (const char16_t* name : {u"delta", u"Alpha", u"charlie", u"BRAVO"}) {
        host::CreateRegistryKey(Vendor + u"\\" + name);
    }
    HANDLE vendor = nullptr;
    ASSERT_EQ(OpenKey(&vendor, Vendor, nullptr, KEY_ENUMERATE_SUB_KEYS), STATUS_SUCCESS);
    const std::u16string expected[] = {u"Alpha", u"BRAVO", u"charlie", u"delta"};
    alignas(8) unsigned char buffer[64];
    auto* basic = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    for (ULONG index = 0; index < 4; ++index) {
        ULONG resultLength = 0;
        ASSERT_EQ(ZwEnumerateKey(vendor, index, KeyBasicInformation, buffer, sizeof(buffer),
                                 &resultLength),
                  STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(basic->Name), basic->NameLength / 2),
                  expected[index]);
        EXPECT_EQ(resultLength, 16 + expected[index].size() * 2);
        EXPECT_NE(basic->LastWriteTime.QuadPart, 0);
    }
    ULONG resultLength = 0;
    EXPECT_EQ(ZwEnumerateKey(vendor, 4, KeyBasicInformation, buffer, sizeof(buffer), &resultLength),
              STATUS_NO_MORE_ENTRIES);

    // "charlie": 14 name bytes after the 16-byte fixed part.
    struct Case {
        ULONG length;
        NTSTATUS status;
        ULONG nameBytesCopied;
    };
    const Case cases[] = {
        {15, STATUS_BUFFER_TOO_SMALL, 0},
        {16, STATUS_BUFFER_OVERFLOW, 0},
        {29, STATUS_BUFFER_OVERFLOW, 13},
        {30, STATUS_SUCCESS, 14},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.length);
        std::memset(buffer, Untouched, sizeof(buffer));
        resultLength = 0;
        EXPECT_EQ(
            ZwEnumerateKey(vendor, 2, KeyBasicInformation, buffer, test.length, &resultLength),
            test.status);
        EXPECT_EQ(resultLength, 30u);
        if (test.length >= 16) {
            EXPECT_EQ(basic->NameLength, 14u);
            EXPECT_EQ(std::memcmp(buffer + 16, u"charlie", test.nameBytesCopied), 0);
        }
        EXPECT_EQ(buffer[std::max<ULONG>(16, test.length)], Untouched);
    }
    EXPECT_EQ(ZwClose(vendor), STATUS_SUCCESS);
}

TEST_F(RegistryTest, QueriesValuesWholeOrNotAtAll) {
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6};
    host::WriteRegistryValue(Vendor, u"Blob", REG_BINARY, data);
    HANDLE vendor = nullptr;
    ASSERT_EQ(OpenKey(&vendor, Vendor), STATUS_SUCCESS);
    CountedName blob(u"BLOB");
    CountedName missing(u"Other");
    alignas(8) unsigned char buffer[32];
    auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    ULONG resultLength = 0;
    EXPECT_EQ(ZwQueryValueKey(vendor, &missing.string, KeyValuePartialInformation, buffer,
                              sizeof(buffer), &resultLength),
              STATUS_OBJECT_NAME_NOT_FOUND);

    struct Case {
        ULONG length;
        NTSTATUS status;
    };
    const Case cases[] = {{11, STATUS_BUFFER_TOO_SMALL},
                          {12, STATUS_BUFFER_OVERFLOW},
                          {17, STATUS_BUFFER_OVERFLOW},
                          {18, STATUS_SUCCESS}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.length);
        std::memset(buffer, Untouched, sizeof(buffer));
        resultLength = 0;
        EXPECT_EQ(ZwQueryValueKey(vendor, &blob.string, KeyValuePartialInformation, buffer,
                                  test.length, &resultLength),
                  test.status);
        EXPECT_EQ(resultLength, 18u);
        if (test.length >= 12) {
            EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_BINARY));
            EXPECT_EQ(partial->DataLength, 6u);
        }
        // Data is never cut: a short buffer gets none of it.
        const bool whole = test.status == STATUS_SUCCESS;
        EXPECT_EQ(buffer[12], whole ? 1 : Untouched);
        EXPECT_EQ(buffer[17], whole ? 6 : Untouched);
    }
    EXPECT_EQ(ZwClose(vendor), STATUS_SUCCESS);
}

TEST_F(RegistryTest, SetValueReplacesByNameWhateverTheCase) {
    HANDLE vendor = nullptr;
    ASSERT_EQ(CreateKey(&vendor, Vendor), STATUS_SUCCESS);
    CountedName lower(u"level");
    CountedName upper(u"LEVEL");
    ULONG one = 1;
    ULONG two = 2;
    EXPECT_EQ(ZwSetValueKey(vendor, &lower.string, 0, REG_DWORD, &one, sizeof(one)),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(vendor, &upper.string, 0, REG_DWORD, &two, sizeof(two)),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(vendor, &upper.string, 0, REG_DWORD, nullptr, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(vendor), STATUS_SUCCESS);
    auto value = host::ReadRegistryValue(Vendor, u"Level");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(value->data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST_F(RegistryTest, InjectedFailuresTakeTheChosenCallWithoutEffect) {
    host::CreateRegistryKey(Vendor + u"\\A");
    host::CreateRegistryKey(Vendor + u"\\B");
    CountedName name(u"Value");
    ULONG word = 7;

    host::FailNthRegistryCall(2, STATUS_INSUFFICIENT_RESOURCES);
    HANDLE a = nullptr;
    HANDLE b = nullptr;
    ASSERT_EQ(OpenKey(&a, Vendor + u"\\A"), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(a, &name.string, 0, REG_DWORD, &word, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host::ReadRegistryValue(Vendor + u"\\A", u"Value").has_value());
    EXPECT_EQ(ZwSetValueKey(a, &name.string, 0, REG_DWORD, &word, 4), STATUS_SUCCESS);

    host::FailNextRegistryCall(host::RegistryCall::SetValueKey, Vendor + u"\\b", STATUS_IO_TIMEOUT);
    host::FailNextRegistryCall(host::RegistryCall::OpenKey, Vendor + u"\\A", STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwSetValueKey(a, &name.string, 0, REG_DWORD, &word, 4), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(&b, Vendor + u"\\B"), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(b, &name.string, 0, REG_DWORD, &word, 4), STATUS_IO_TIMEOUT);
    EXPECT_EQ(ZwSetValueKey(b, &name.string, 0, REG_DWORD, &word, 4), STATUS_SUCCESS);
    HANDLE again = nullptr;
    EXPECT_EQ(OpenKey(&again, Vendor + u"\\a"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(host::OpenRegistryHandleCount(), 2u);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
}

TEST_F(RegistryTest, TheVerifierNamesEveryHandleLeftOpenAndWhoOpenedIt) {
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(&key, Software), STATUS_SUCCESS);
    std::vector<std::string> problems = machine.Verify();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("\\Registry\\Machine\\SOFTWARE left open"), std::string::npos)
        << problems[0];
    EXPECT_NE(problems[0].find("opened by ZwOpenKey"), std::string::npos) << problems[0];
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Verify().empty());
}

TEST_F(RegistryDeathTest, CallsAbovePassiveLevelAndClosesOfUnknownHandlesStopTheMachine) {
    EXPECT_DEATH(
        {
            host::SetCurrentIrql(DISPATCH_LEVEL);
            HANDLE key = nullptr;
            OpenKey(&key, Software);
        },
        "IRQL_NOT_LESS_OR_EQUAL: ZwOpenKey");
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0xFFFFFFFF80001234ull)),
                 "0x00000093 \\(0xFFFFFFFF80001234");
}

} // namespace
