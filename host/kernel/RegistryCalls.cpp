// The Zw key routines and their previous-mode forms: names resolved from object attributes,
// handles checked against their process and (for user-mode callers) their granted access, and
// the information layouts filled with the statuses and result lengths Windows gives.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BugCheck.h"
#include "Irql.h"
#include "Process.h"
#include "RegistryStore.h"

namespace host {

namespace {

constexpr size_t MaximumKeyNameUnits = 255;
constexpr size_t MaximumValueNameUnits = 16383;

[[noreturn]] void Unsupported(const char* routine, const char* what, unsigned long long value) {
    std::fprintf(stderr, "host: %s: %s %llu is not supported by the host registry\n", routine, what,
                 value);
    std::abort();
}

ACCESS_MASK GrantedAccessFor(ACCESS_MASK desired) {
    // Keys carry no security descriptors here: whatever is asked is granted, after the key
    // type's generic mapping.
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) {
        granted |= KEY_READ;
    }
    if (desired & GENERIC_WRITE) {
        granted |= KEY_WRITE;
    }
    if (desired & GENERIC_EXECUTE) {
        granted |= KEY_EXECUTE;
    }
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        granted |= KEY_ALL_ACCESS;
    }
    return granted & (KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY);
}

bool ReadCountedString(const UNICODE_STRING* text, std::u16string* result) {
    if (text->Length % 2 != 0 || text->Length > text->MaximumLength ||
        (text->Length != 0 && text->Buffer == nullptr)) {
        return false;
    }
    result->assign(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
    return true;
}

// A handle the caller may use: its own process's handles, and kernel handles from kernel mode.
// User-mode callers must also hold every right in needed.
NTSTATUS UseHandle(Registry& registry, KPROCESSOR_MODE mode, HANDLE handle, ACCESS_MASK needed,
                   RegistryKey** key) {
    const KeyHandle* entry = registry.handles.Find(handle);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->kernelHandle ? mode != KernelMode : entry->process != CurrentProcess()) {
        return STATUS_INVALID_HANDLE;
    }
    if (mode != KernelMode && (entry->grantedAccess & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    *key = entry->key;
    return STATUS_SUCCESS;
}

struct Target {
    RegistryKey* base = nullptr;
    std::vector<std::u16string> names;
    std::u16string path; // the full path named, as given
};

// Resolves object attributes to a starting key and the names below it.
NTSTATUS ParseObjectAttributes(Registry& registry, KPROCESSOR_MODE mode,
                               const OBJECT_ATTRIBUTES* attributes, Target* target) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (attributes->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0 ||
        (mode != KernelMode && (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name;
    if (attributes->ObjectName == nullptr || !ReadCountedString(attributes->ObjectName, &name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = UseHandle(registry, mode, attributes->RootDirectory, 0, &target->base);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!name.empty() && name[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        target->path = target->base->Path();
        if (name.empty()) {
            return STATUS_SUCCESS; // a new handle to the root key itself
        }
        target->path += u"\\" + name;
        size_t start = 0;
        for (;;) {
            size_t end = name.find(u'\\', start);
            std::u16string part =
                name.substr(start, end == std::u16string::npos ? end : end - start);
            if (part.empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            target->names.push_back(part);
            if (end == std::u16string::npos) {
                return STATUS_SUCCESS;
            }
            start = end + 1;
        }
    }
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (name.find(u"\\\\") != std::u16string::npos || name.back() == u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!Registry::SplitAbsolutePath(name, &target->names)) {
        // Outside "\Registry" the host has no namespace at all.
        return name.find(u'\\', 1) == std::u16string::npos ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    target->base = &registry.root;
    target->path = name;
    return STATUS_SUCCESS;
}

HANDLE InsertHandle(Registry& registry, KPROCESSOR_MODE mode, RegistryKey* key, ACCESS_MASK desired,
                    ULONG attributes, const char* routine, const void* returnAddress) {
    KeyHandle handle;
    handle.key = key;
    handle.grantedAccess = GrantedAccessFor(desired);
    handle.kernelHandle = mode == KernelMode && (attributes & OBJ_KERNEL_HANDLE) != 0;
    handle.process = handle.kernelHandle ? nullptr : CurrentProcess();
    handle.openedWith = routine;
    handle.openedBy = CaptureCallStack(returnAddress);
    return registry.handles.Insert(std::move(handle));
}

NTSTATUS OpenKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                 POBJECT_ATTRIBUTES objectAttributes, const char* routine,
                 const void* returnAddress) {
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    if (keyHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Target target;
    NTSTATUS status = ParseObjectAttributes(registry, mode, objectAttributes, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (registry.TakeInjectedFailure(RegistryCall::OpenKey, target.path, &status)) {
        return status;
    }
    RegistryKey* key = target.base;
    for (const std::u16string& name : target.names) {
        key = key->Subkey(name);
        if (key == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *keyHandle = InsertHandle(registry, mode, key, desiredAccess, objectAttributes->Attributes,
                              routine, returnAddress);
    return STATUS_SUCCESS;
}

NTSTATUS CreateKey(KPROCESSOR_MODE mode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions, PULONG disposition,
                   const void* returnAddress) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    if (keyHandle == nullptr ||
        (createOptions & ~(REG_OPTION_NON_VOLATILE | REG_OPTION_VOLATILE)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Target target;
    NTSTATUS status = ParseObjectAttributes(registry, mode, objectAttributes, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (const std::u16string& name : target.names) {
        if (name.size() > MaximumKeyNameUnits) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (registry.TakeInjectedFailure(RegistryCall::CreateKey, target.path, &status)) {
        return status;
    }
    // Only the last name may be new: Windows creates one key per call.
    RegistryKey* key = target.base;
    ULONG created = REG_OPENED_EXISTING_KEY;
    for (size_t index = 0; index < target.names.size(); ++index) {
        RegistryKey* next = key->Subkey(target.names[index]);
        if (next == nullptr) {
            if (index + 1 != target.names.size()) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            next = &key->AddSubkey(target.names[index]);
            created = REG_CREATED_NEW_KEY;
        }
        key = next;
    }
    *keyHandle = InsertHandle(registry, mode, key, desiredAccess, objectAttributes->Attributes,
                              "ZwCreateKey", returnAddress);
    if (disposition != nullptr) {
        *disposition = created;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS EnumerateKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle, ULONG index,
                          KEY_INFORMATION_CLASS informationClass, PVOID information, ULONG length,
                          PULONG resultLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    RegistryKey* key = nullptr;
    NTSTATUS status = UseHandle(registry, previousMode, keyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (informationClass >= MaxKeyInfoClass || resultLength == nullptr ||
        (information == nullptr && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (informationClass != KeyBasicInformation) {
        Unsupported("ZwEnumerateKey", "information class", informationClass);
    }
    if (registry.TakeInjectedFailure(RegistryCall::EnumerateKey, key->Path(), &status)) {
        return status;
    }
    if (index >= key->subkeys.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    auto found = key->subkeys.begin();
    std::advance(found, index);
    const RegistryKey& subkey = *found->second;

    // The whole size is reported whatever fits; a buffer that holds the fixed part gets it and
    // as much of the name as fits.
    const ULONG fixedBytes = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    const ULONG nameBytes = static_cast<ULONG>(subkey.name.size() * sizeof(char16_t));
    *resultLength = fixedBytes + nameBytes;
    if (length < fixedBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* basic = static_cast<KEY_BASIC_INFORMATION*>(information);
    basic->LastWriteTime.QuadPart = subkey.lastWriteTime;
    basic->TitleIndex = 0;
    basic->NameLength = nameBytes;
    const ULONG room = length - fixedBytes;
    std::memcpy(reinterpret_cast<uint8_t*>(information) + fixedBytes, subkey.name.data(),
                room < nameBytes ? room : nameBytes);
    return room < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS QueryValueKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle,
                           PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS informationClass,
                           PVOID information, ULONG length, PULONG resultLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    RegistryKey* key = nullptr;
    NTSTATUS status = UseHandle(registry, previousMode, keyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name;
    if (valueName == nullptr || !ReadCountedString(valueName, &name) ||
        informationClass >= MaxKeyValueInfoClass || resultLength == nullptr ||
        (information == nullptr && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (informationClass != KeyValuePartialInformation) {
        Unsupported("ZwQueryValueKey", "information class", informationClass);
    }
    if (registry.TakeInjectedFailure(RegistryCall::QueryValueKey, key->Path(), &status)) {
        return status;
    }
    const RegistryKey::Value* value = key->FindValue(name);
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    // Unlike a name, data is never cut: a buffer short of it gets the fixed part only.
    const ULONG fixedBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG dataBytes = static_cast<ULONG>(value->data.size());
    *resultLength = fixedBytes + dataBytes;
    if (length < fixedBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* partial = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(information);
    partial->TitleIndex = 0;
    partial->Type = value->type;
    partial->DataLength = dataBytes;
    if (length - fixedBytes < dataBytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (dataBytes != 0) {
        std::memcpy(partial->Data, value->data.data(), dataBytes);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetValueKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle, PUNICODE_STRING valueName,
                         ULONG type, PVOID data, ULONG dataSize) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    RegistryKey* key = nullptr;
    NTSTATUS status = UseHandle(registry, previousMode, keyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name;
    if (valueName == nullptr || !ReadCountedString(valueName, &name) ||
        name.size() > MaximumValueNameUnits || (data == nullptr && dataSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (registry.TakeInjectedFailure(RegistryCall::SetValueKey, key->Path(), &status)) {
        return status;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    key->SetValue(name, type, std::vector<uint8_t>(bytes, bytes + dataSize));
    return STATUS_SUCCESS;
}

NTSTATUS OpenKeyFrom(KPROCESSOR_MODE previousMode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes) {
    return OpenKey(previousMode, keyHandle, desiredAccess, objectAttributes, "OpenKey",
                   __builtin_return_address(0));
}

NTSTATUS CloseKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    Registry& registry = CurrentRegistry();
    {
        std::lock_guard<std::mutex> hold(registry.lock);
        RegistryKey* key = nullptr;
        if (NT_SUCCESS(UseHandle(registry, previousMode, keyHandle, 0, &key))) {
            registry.handles.Remove(keyHandle);
            return STATUS_SUCCESS;
        }
    }
    if (previousMode == KernelMode) {
        BugCheck(INVALID_KERNEL_HANDLE, reinterpret_cast<unsigned long long>(keyHandle), 0, 0, 0,
                 "ZwClose of a handle that is not open in this context (the host's kernel "
                 "handles are registry keys only so far)");
    }
    return STATUS_INVALID_HANDLE;
}

} // namespace host

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes) {
    return host::OpenKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes, "ZwOpenKey",
                         __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition) {
    (void)TitleIndex;
    (void)Class; // classes are not kept: nothing the driver or the host reads uses them
    return host::CreateKey(KernelMode, KeyHandle, DesiredAccess, ObjectAttributes, CreateOptions,
                           Disposition, __builtin_return_address(0));
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                                         KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return host::EnumerateKeyFrom(KernelMode, KeyHandle, Index, KeyInformationClass, KeyInformation,
                                  Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength) {
    return host::QueryValueKeyFrom(KernelMode, KeyHandle, ValueName, KeyValueInformationClass,
                                   KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    return host::SetValueKeyFrom(KernelMode, KeyHandle, ValueName, Type, Data, DataSize);
}
