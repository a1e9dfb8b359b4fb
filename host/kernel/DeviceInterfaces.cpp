// Device interface registration and state, and the link strings handed to the driver (pool
// blocks, so a link the driver never frees shows in the leak report).
#include "DeviceInterfaces.h"

#include <cstdio>
#include <cstring>

#include <ksmedia.h>

#include "IoManager.h"
#include "Irql.h"

namespace host {

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(static_cast<WCHAR>(a[i])) !=
            RtlUpcaseUnicodeChar(static_cast<WCHAR>(b[i]))) {
            return false;
        }
    }
    return true;
}

NTSTATUS DeviceInterfaces::Register(PDEVICE_OBJECT physicalDevice, const GUID& interfaceClass,
                                    const std::u16string* referenceString, std::u16string* link) {
    IoManager& io = Machine::Current().Get<IoManager>();
    if (physicalDevice == nullptr || !io.IsPhysicalDevice(physicalDevice)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string instance = io.InstanceId(physicalDevice);
    for (char16_t& c : instance) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    std::u16string text = u"\\??\\" + instance + u"#" + GuidText(interfaceClass);
    std::u16string reference;
    if (referenceString != nullptr && !referenceString->empty()) {
        reference = u"\\" + *referenceString;
        if (referenceString->find(u'\\') != std::u16string::npos) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        text += u"\\" + *referenceString;
    }
    std::lock_guard<std::mutex> hold(lock);
    bool known = false;
    for (const Entry& entry : entries) {
        known = known || EqualNoCase(entry.link, text);
    }
    if (!known) {
        entries.push_back(Entry{physicalDevice, interfaceClass, text, reference, false});
    }
    *link = text;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceInterfaces::SetState(const std::u16string& link, bool enable) {
    std::lock_guard<std::mutex> hold(lock);
    for (Entry& entry : entries) {
        if (!EqualNoCase(entry.link, link)) {
            continue;
        }
        if (enable && entry.enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        if (!enable && !entry.enabled) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        entry.enabled = enable;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

DeviceInterfaces::Entry* DeviceInterfaces::Find(const std::u16string& link) {
    for (Entry& entry : entries) {
        if (EqualNoCase(entry.link, link)) {
            return &entry;
        }
    }
    return nullptr;
}

namespace {

// The bytes a value of a fixed-size base type takes; 0 for the variable-size ones.
ULONG FixedSize(DEVPROPTYPE base) {
    switch (base) {
    case DEVPROP_TYPE_SBYTE:
    case DEVPROP_TYPE_BYTE:
    case DEVPROP_TYPE_BOOLEAN:
        return 1;
    case DEVPROP_TYPE_INT16:
    case DEVPROP_TYPE_UINT16:
        return 2;
    case DEVPROP_TYPE_INT32:
    case DEVPROP_TYPE_UINT32:
    case DEVPROP_TYPE_FLOAT:
    case DEVPROP_TYPE_DEVPROPTYPE:
    case DEVPROP_TYPE_ERROR:
    case DEVPROP_TYPE_NTSTATUS:
        return 4;
    case DEVPROP_TYPE_INT64:
    case DEVPROP_TYPE_UINT64:
    case DEVPROP_TYPE_DOUBLE:
    case DEVPROP_TYPE_CURRENCY:
    case DEVPROP_TYPE_DATE:
    case DEVPROP_TYPE_FILETIME:
        return 8;
    case DEVPROP_TYPE_DECIMAL:
    case DEVPROP_TYPE_GUID:
        return 16;
    case DEVPROP_TYPE_DEVPROPKEY:
        return sizeof(DEVPROPKEY);
    default:
        return 0;
    }
}

// The index-th UTF-16 unit of a caller's value, which need not be aligned.
WCHAR UnitAt(const void* data, ULONG index) {
    WCHAR unit = 0;
    std::memcpy(&unit, static_cast<const std::uint8_t*>(data) + index * sizeof(WCHAR),
                sizeof(unit));
    return unit;
}

bool IsString(DEVPROPTYPE base) {
    return base == DEVPROP_TYPE_STRING || base == DEVPROP_TYPE_SECURITY_DESCRIPTOR_STRING ||
           base == DEVPROP_TYPE_STRING_INDIRECT;
}

// Whether size bytes of data make a value of type: a known base type with a modifier it allows,
// fixed sizes exact (arrays a whole number of elements), strings of whole, terminated UTF-16
// characters (a list ends in two terminators). EMPTY and NULL carry no value.
bool ValueFitsType(DEVPROPTYPE type, ULONG size, const void* data) {
    const DEVPROPTYPE base = type & DEVPROP_MASK_TYPE;
    const DEVPROPTYPE modifier = type & DEVPROP_MASK_TYPEMOD;
    if (base > MAX_DEVPROP_TYPE || base <= DEVPROP_TYPE_NULL || size == 0) {
        return false;
    }
    const ULONG fixed = FixedSize(base);
    const ULONG characters = size / sizeof(WCHAR);
    switch (modifier) {
    case 0:
        if (fixed != 0) {
            return size == fixed;
        }
        return !IsString(base) || (size % sizeof(WCHAR) == 0 && UnitAt(data, characters - 1) == 0);
    case DEVPROP_TYPEMOD_ARRAY:
        return fixed != 0 && size % fixed == 0;
    case DEVPROP_TYPEMOD_LIST:
        return base == DEVPROP_TYPE_STRING && size % sizeof(WCHAR) == 0 && characters >= 2 &&
               UnitAt(data, characters - 1) == 0 && UnitAt(data, characters - 2) == 0;
    default:
        return false;
    }
}

// Keys whose meaning the audio stack defines: a binary packet-size record, read once the
// filter's interface is enabled (the endpoint is built then), so it must be set before.
// Windows stores any bytes and lets the audio engine ignore a malformed record later; the host
// refuses it at once, where the driver can still see why.
bool IsPacketSizeKey(const DEVPROPKEY& key) {
    return IsEqualDevPropKey(key, DEVPKEY_KsAudio_PacketSize_Constraints) ||
           IsEqualDevPropKey(key, DEVPKEY_KsAudio_PacketSize_Constraints2);
}

bool IsPacketSizeRecord(ULONG size, const void* data) {
    const ULONG header = FIELD_OFFSET(KSAUDIO_PACKETSIZE_CONSTRAINTS2, ProcessingModeConstraints);
    if (size < header) {
        return false;
    }
    ULONG entries = 0; // the caller's bytes need not be aligned
    std::memcpy(&entries,
                static_cast<const std::uint8_t*>(data) +
                    FIELD_OFFSET(KSAUDIO_PACKETSIZE_CONSTRAINTS2, NumProcessingModeConstraints),
                sizeof(entries));
    const ULONGLONG needed =
        header + ULONGLONG(entries) * sizeof(KSAUDIO_PACKETSIZE_PROCESSINGMODE_CONSTRAINT);
    return size >= needed;
}

} // namespace

NTSTATUS DeviceInterfaces::SetProperty(const std::u16string& link, const DEVPROPKEY& key, LCID lcid,
                                       ULONG flags, DEVPROPTYPE type, ULONG size,
                                       const void* data) {
    if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT) {
        return STATUS_UNSUCCESSFUL; // documented for an invalid locale
    }
    if ((flags & ~ULONG(PLUGPLAY_PROPERTY_PERSISTENT)) != 0 || (data == nullptr && size != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (data != nullptr && !ValueFitsType(type, size, data)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (data != nullptr && IsPacketSizeKey(key) &&
        (type != DEVPROP_TYPE_BINARY || !IsPacketSizeRecord(size, data))) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> hold(lock);
    Entry* entry = Find(link);
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (IsPacketSizeKey(key) && entry->enabled) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto& properties = entry->properties;
    auto found = properties.begin();
    while (found != properties.end() &&
           !(IsEqualDevPropKey(found->key, key) && found->lcid == lcid)) {
        ++found;
    }
    if (data == nullptr) {
        if (found == properties.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        properties.erase(found);
        return STATUS_SUCCESS;
    }
    // An internal copy: the caller's buffer may go once the call returns.
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::vector<std::uint8_t> value(bytes, bytes + size);
    if (found == properties.end()) {
        properties.push_back(Property{key, lcid, type, std::move(value)});
    } else {
        found->type = type;
        found->value = std::move(value);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeviceInterfaces::GetProperty(const std::u16string& link, const DEVPROPKEY& key, LCID lcid,
                                       ULONG size, void* data, ULONG* requiredSize,
                                       DEVPROPTYPE* type) {
    if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT) {
        return STATUS_UNSUCCESSFUL;
    }
    if (data == nullptr && size != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> hold(lock);
    const Entry* entry = Find(link);
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (const Property& property : entry->properties) {
        if (!IsEqualDevPropKey(property.key, key) || property.lcid != lcid) {
            continue;
        }
        const ULONG bytes = static_cast<ULONG>(property.value.size());
        *requiredSize = bytes;
        *type = property.type;
        if (size < bytes) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(data, property.value.data(), bytes);
        return STATUS_SUCCESS;
    }
    *requiredSize = 0;
    *type = DEVPROP_TYPE_EMPTY;
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::u16string DeviceInterfaces::LinkOfPath(const std::u16string& path) {
    std::u16string name = path;
    if (name.compare(0, 4, u"\\\\?\\") == 0) {
        name.replace(0, 4, u"\\??\\");
    }
    std::lock_guard<std::mutex> hold(lock);
    const Entry* entry = Find(name);
    return entry != nullptr ? entry->link : std::u16string();
}

bool DeviceInterfaces::Resolve(const std::u16string& path, PDEVICE_OBJECT* physicalDevice,
                               std::u16string* remainder) {
    std::u16string name = path;
    if (name.compare(0, 4, u"\\\\?\\") == 0) {
        name.replace(0, 4, u"\\??\\");
    }
    std::lock_guard<std::mutex> hold(lock);
    for (const Entry& entry : entries) {
        const size_t length = entry.link.size();
        if (!entry.enabled || name.size() < length ||
            !EqualNoCase(name.substr(0, length), entry.link)) {
            continue;
        }
        if (name.size() > length && name[length] != u'\\') {
            continue;
        }
        *physicalDevice = entry.physicalDevice;
        *remainder = entry.reference + name.substr(length);
        return true;
    }
    return false;
}

std::vector<std::u16string> DeviceInterfaces::EnabledPaths(const GUID& interfaceClass) {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::u16string> paths;
    for (const Entry& entry : entries) {
        if (entry.enabled && IsEqualGUID(entry.interfaceClass, interfaceClass)) {
            paths.push_back(u"\\\\?\\" + entry.link.substr(4));
        }
    }
    return paths;
}

bool DeviceInterfaces::IsEnabled(const std::u16string& link) {
    std::lock_guard<std::mutex> hold(lock);
    for (const Entry& entry : entries) {
        if (EqualNoCase(entry.link, link)) {
            return entry.enabled;
        }
    }
    return false;
}

void DeviceInterfaces::DisableAll(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard<std::mutex> hold(lock);
    for (Entry& entry : entries) {
        if (entry.physicalDevice == physicalDevice) {
            entry.enabled = false;
        }
    }
}

} // namespace host

using host::DeviceInterfaces;

namespace {
constexpr ULONG LinkTag = 0x6b6e694c; // "Link" in memory order
}
using host::Machine;

extern "C" NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                    const GUID* InterfaceClassGuid,
                                                    PUNICODE_STRING ReferenceString,
                                                    PUNICODE_STRING SymbolicLinkName) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    std::u16string reference = host::FromUnicodeString(ReferenceString);
    std::u16string link;
    NTSTATUS status = Machine::Current().Get<DeviceInterfaces>().Register(
        PhysicalDeviceObject, *InterfaceClassGuid,
        ReferenceString != nullptr ? &reference : nullptr, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A fresh pool block per call, freed by the caller with RtlFreeUnicodeString.
    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, LinkTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                                    BOOLEAN Enable) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    return Machine::Current().Get<DeviceInterfaces>().SetState(
        host::FromUnicodeString(SymbolicLinkName), Enable != FALSE);
}

extern "C" NTSTATUS NTAPI IoSetDeviceInterfacePropertyData(PUNICODE_STRING SymbolicLinkName,
                                                           const DEVPROPKEY* PropertyKey, LCID Lcid,
                                                           ULONG Flags, DEVPROPTYPE Type,
                                                           ULONG Size, PVOID Data) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfacePropertyData");
    if (SymbolicLinkName == nullptr || PropertyKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return Machine::Current().Get<DeviceInterfaces>().SetProperty(
        host::FromUnicodeString(SymbolicLinkName), *PropertyKey, Lcid, Flags, Type, Size, Data);
}

extern "C" NTSTATUS NTAPI IoGetDeviceInterfacePropertyData(PUNICODE_STRING SymbolicLinkName,
                                                           const DEVPROPKEY* PropertyKey, LCID Lcid,
                                                           ULONG Flags, ULONG Size, PVOID Data,
                                                           PULONG RequiredSize, PDEVPROPTYPE Type) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceInterfacePropertyData");
    if (SymbolicLinkName == nullptr || PropertyKey == nullptr || RequiredSize == nullptr ||
        Type == nullptr || Flags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return Machine::Current().Get<DeviceInterfaces>().GetProperty(
        host::FromUnicodeString(SymbolicLinkName), *PropertyKey, Lcid, Size, Data, RequiredSize,
        Type);
}
