// Counted names and key opening shared by the registry tests.
#pragma once

#include <string>

#include <ntddk.h>

struct CountedName {
    explicit CountedName(std::u16string value) : text(std::move(value)) {
        string.Length = static_cast<USHORT>(text.size() * 2);
        string.MaximumLength = string.Length;
        string.Buffer = reinterpret_cast<PWSTR>(text.data());
    }
    CountedName(const CountedName&) = delete;
    CountedName& operator=(const CountedName&) = delete;

    std::u16string text;
    UNICODE_STRING string;
};

inline NTSTATUS OpenKey(HANDLE* key, const std::u16string& path, HANDLE root = nullptr,
                        ACCESS_MASK access = KEY_READ,
                        ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE) {
    CountedName name(path);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name.string, attributes, root, NULL);
    return ZwOpenKey(key, access, &objectAttributes);
}

inline NTSTATUS CreateKey(HANDLE* key, const std::u16string& path, HANDLE root = nullptr,
                          ULONG* disposition = nullptr) {
    CountedName name(path);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name.string,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &objectAttributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       disposition);
}
