// The machine's registry as tests and other host services see it: building and reading keys and
// values without handles, counting open handles, making registry calls fail, and the entry
// points through which simulated user-mode callers reach the same keys with access checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <ntddk.h>

namespace host {

// Paths are absolute ("\Registry\Machine\SOFTWARE\..."); names compare case-insensitively and are
// kept as first given. "\Registry\Machine\SOFTWARE", "\Registry\Machine\SYSTEM" and
// "\Registry\User" exist on every machine.

// Creates the key and every missing key above it.
void CreateRegistryKey(const std::u16string& path);
bool RegistryKeyExists(const std::u16string& path);
// Creates the key if needed and sets the value (replacing an existing one of the same name).
void WriteRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                        const std::vector<uint8_t>& data);
// A REG_SZ value: the text and its terminator.
void WriteRegistryString(const std::u16string& keyPath, const std::u16string& name,
                         const std::u16string& text);

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
std::optional<RegistryValue> ReadRegistryValue(const std::u16string& keyPath,
                                               const std::u16string& name);
// Sub-key names in the order ZwEnumerateKey returns them; empty for a missing key.
std::vector<std::u16string> RegistrySubkeyNames(const std::u16string& keyPath);

// Whether handle is an open registry key handle (in any context); ZwClose sends those here.
bool IsRegistryHandle(HANDLE handle);

// Registry handles open now (kernel and process handles together).
size_t OpenRegistryHandleCount();

// ---- Failure injection ----
enum class RegistryCall { OpenKey, CreateKey, EnumerateKey, QueryValueKey, SetValueKey };

// Makes the nth registry call from now (1 is the next) return status without effect. Calls are
// counted once their arguments are valid; ZwClose is not counted.
void FailNthRegistryCall(unsigned n, NTSTATUS status);
// Makes the next call of kind on the key at keyPath (the key opened or created, or the key whose
// handle is used) return status without effect. Several may be pending at once.
void FailNextRegistryCall(RegistryCall kind, const std::u16string& keyPath, NTSTATUS status);
void ClearRegistryFaultInjection();

// ---- Callers of a given previous mode ----
// The Zw routines run with previous mode KernelMode, so their handles are not access-checked,
// as on Windows. These run the same services for a caller of the given previous mode; with
// UserMode each handle use is checked against the access granted when the handle was opened,
// and handles are those of the current process.
NTSTATUS OpenKeyFrom(KPROCESSOR_MODE previousMode, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS EnumerateKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle, ULONG index,
                          KEY_INFORMATION_CLASS informationClass, PVOID information, ULONG length,
                          PULONG resultLength);
NTSTATUS QueryValueKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle,
                           PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS informationClass,
                           PVOID information, ULONG length, PULONG resultLength);
NTSTATUS SetValueKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle, PUNICODE_STRING valueName,
                         ULONG type, PVOID data, ULONG dataSize);
NTSTATUS CloseKeyFrom(KPROCESSOR_MODE previousMode, HANDLE keyHandle);

// UTF-8 of a registry name, for messages.
std::string RegistryTextToUtf8(const std::u16string& text);

} // namespace host
