// Device interface registration and state, and the link strings handed to the driver (pool
// blocks, so a link the driver never frees shows in the leak report).
#include "DeviceInterfaces.h"

#include <cstdio>
#include <cstring>

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
