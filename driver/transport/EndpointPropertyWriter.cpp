// The endpoint property writer: finds the audio endpoints that the channel's WaveRT filter serves
// by the filter interface path in each endpoint's property store, and stores the channel's format
// there. The driver only writes this value; the audio service reads it.
#include "EndpointPropertyWriter.h"

#include "support/Memory.h"
#include "support/WaveFormat.h"

namespace {

const WCHAR CaptureEndpointsPath[] =
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture";
const WCHAR RenderEndpointsPath[] =
    L"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render";
const WCHAR PropertiesSuffix[] = L"\\Properties";
const WCHAR FilterPropertyName[] = L"{233164c8-1b2c-4c7d-bc68-b671687a2567},1";
const WCHAR DeviceFormatPropertyName[] = L"{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0";
const WCHAR LinkPrefix[] = L"\\??\\";

const ULONG LinkPrefixUnits = 4;
// "{" + 36 characters + "}" of the interface class that ends the link name.
const ULONG ClassGuidUnits = 38;
const ULONG MinimumInstanceIdUnits = 10;
// The subdevice must stand further than this after the start of the instance id: the "#{class}"
// of the interface path lies between them.
const LONG_PTR MinimumSubdeviceDistance = 48;
const ULONG MaximumSubdeviceNameUnits = 32;

const ULONG FilterValueBytes = 512;
const ULONG QueryAreaBytes = 528;
const ULONG EnumerationAreaBytes = 536;
C_ASSERT(EnumerationAreaBytes % sizeof(ULONGLONG) == 0);
// Registry key names are at most 255 units; the enumeration area holds up to 260.
const ULONG MaximumSubkeyNameUnits =
    (EnumerationAreaBytes - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)) / sizeof(WCHAR);

// Text and registry areas of one WriteEndpointFormatFor call, some 3 KiB: too much for a frame
// on a kernel stack, so they come from the pool.
struct EndpointScan {
    // First and in 8-byte units: KEY_BASIC_INFORMATION holds a LARGE_INTEGER.
    ULONGLONG enumeration[EnumerationAreaBytes / sizeof(ULONGLONG)];
    WCHAR link[EndpointNameCapacity];
    WCHAR instanceId[EndpointNameCapacity];
    WCHAR pattern[MaximumSubdeviceNameUnits + 2];
    WCHAR propertiesPath[MaximumSubkeyNameUnits + RTL_NUMBER_OF(PropertiesSuffix)];
    WCHAR filterText[FilterValueBytes / sizeof(WCHAR) + 1];
};

const USHORT VtBlob = 65;
const ULONG RecordBytes = 40;
C_ASSERT(sizeof(WAVEFORMATEXTENSIBLE) == RecordBytes);
C_ASSERT(EndpointFormatValueBytes == 8 + RecordBytes);

ULONG TextLength(PCWSTR text, ULONG limit) {
    ULONG length = 0;
    while (length < limit && text[length] != L'\0') {
        ++length;
    }
    return length;
}

void Lowercase(PWSTR text) {
    for (; *text != L'\0'; ++text) {
        if (*text >= L'A' && *text <= L'Z') {
            *text = static_cast<WCHAR>(*text - L'A' + L'a');
        }
    }
}

// The first place at or after from where needle begins, or null.
PCWSTR FindText(PCWSTR from, PCWSTR needle) {
    for (; *from != L'\0'; ++from) {
        ULONG index = 0;
        while (needle[index] != L'\0' && from[index] == needle[index]) {
            ++index;
        }
        if (needle[index] == L'\0') {
            return from;
        }
    }
    return nullptr;
}

// text, instanceId and pattern ("\wave_c") are lower case. The instance id counts only as a
// whole path element: after the "\" of "\\?\" and before the "#" of the interface class, so the
// endpoints of a device whose id merely contains ours ("...#00001") are not taken for ours.
BOOLEAN FilterValueNames(PCWSTR text, PCWSTR instanceId, PCWSTR pattern) {
    const ULONG idUnits = TextLength(instanceId, EndpointNameCapacity);
    PCWSTR instance = FindText(text, instanceId);
    while (instance != nullptr &&
           !(instance > text && instance[-1] == L'\\' && instance[idUnits] == L'#')) {
        instance = FindText(instance + 1, instanceId);
    }
    if (instance == nullptr) {
        return FALSE;
    }
    PCWSTR subdevice = FindText(text, pattern);
    return subdevice != nullptr && subdevice - instance > MinimumSubdeviceDistance;
}

// Writes value into the property store when its filter property names this adapter's filter.
// A store without that property (or holding it in another type, or longer than any interface
// path of ours) is not a match; other failures are returned.
NTSTATUS WriteIfMatching(HANDLE properties, EndpointScan* scan, const UCHAR* value) {
    WCHAR* text = scan->filterText;
    ULONG type = REG_NONE;
    ULONG length = FilterValueBytes;
    NTSTATUS status = QueryRegistryValue(properties, FilterPropertyName, &type, text, &length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_BUFFER_OVERFLOW) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type != REG_SZ) {
        return STATUS_SUCCESS;
    }
    // A text that fills all 512 bytes has no terminator of its own; it ends at the buffer's end.
    text[length / sizeof(WCHAR)] = L'\0';
    Lowercase(text);
    if (!FilterValueNames(text, scan->instanceId, scan->pattern)) {
        return STATUS_SUCCESS;
    }
    // The handle was opened for reading only: a kernel-mode write is not access-checked.
    return SetRegistryValue(properties, DeviceFormatPropertyName, REG_BINARY, value,
                            EndpointFormatValueBytes);
}

} // namespace

NTSTATUS ExtractInstanceId(PWSTR destination, ULONG capacity, PCWSTR symbolicLinkName) {
    if (destination == nullptr || symbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG index = 0; index < LinkPrefixUnits; ++index) {
        if (symbolicLinkName[index] != LinkPrefix[index]) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    PCWSTR start = symbolicLinkName + LinkPrefixUnits;
    PCWSTR end = start;
    PCWSTR lastBackslash = nullptr;
    for (; *end != L'\0'; ++end) {
        if (*end == L'\\') {
            lastBackslash = end;
        }
    }
    if (lastBackslash != nullptr) {
        end = lastBackslash;
    }
    // "#", "{", 36 characters and "}" end the name, with at least one character before them.
    if (end - start <= static_cast<LONG_PTR>(ClassGuidUnits) || end[-1] != L'}' ||
        end[-static_cast<LONG_PTR>(ClassGuidUnits)] != L'{' ||
        end[-static_cast<LONG_PTR>(ClassGuidUnits) - 1] != L'#') {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG_PTR idUnits = static_cast<ULONG_PTR>(end - start) - ClassGuidUnits - 1;
    if (idUnits < MinimumInstanceIdUnits || idUnits >= capacity) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(destination, start, idUnits * sizeof(WCHAR));
    destination[idUnits] = L'\0';
    return STATUS_SUCCESS;
}

NTSTATUS OpenRegistryKey(PHANDLE key, HANDLE parent, PCWSTR path, ACCESS_MASK access) {
    const ULONG units = TextLength(path, MAXUSHORT / sizeof(WCHAR));
    if (path[units] != L'\0') {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    name.Buffer = const_cast<PWSTR>(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent,
                               NULL);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS QueryRegistryValue(HANDLE key, PCWSTR name, PULONG type, PVOID buffer, PULONG length) {
    const ULONG units = TextLength(name, MAXUSHORT / sizeof(WCHAR));
    UNICODE_STRING valueName;
    valueName.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    valueName.MaximumLength = valueName.Length;
    valueName.Buffer = const_cast<PWSTR>(name);
    ULONG area[QueryAreaBytes / sizeof(ULONG)];
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, area,
                                      sizeof(area), &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto* information = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(area);
    const ULONG room = sizeof(area) - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG dataBytes = information->DataLength < room ? information->DataLength : room;
    const ULONG copied = *length < dataBytes ? *length : dataBytes;
    RtlCopyMemory(buffer, information->Data, copied);
    *type = information->Type;
    *length = copied;
    return status;
}

NTSTATUS SetRegistryValue(HANDLE key, PCWSTR name, ULONG type, const VOID* data, ULONG length) {
    const ULONG units = TextLength(name, MAXUSHORT / sizeof(WCHAR));
    UNICODE_STRING valueName;
    valueName.Length = static_cast<USHORT>(units * sizeof(WCHAR));
    valueName.MaximumLength = valueName.Length;
    valueName.Buffer = const_cast<PWSTR>(name);
    return ZwSetValueKey(key, &valueName, 0, type, const_cast<PVOID>(data), length);
}

BOOLEAN BuildEndpointFormatValue(UCHAR* value, ULONG sampleRate, ULONG bitsPerSample,
                                 ULONG channels, ULONG containerBytes, ULONG channelMask) {
    WAVEFORMATEXTENSIBLE record;
    if (!BuildWaveFormat(&record, sampleRate, bitsPerSample, channels, containerBytes, channelMask,
                         TRUE, FALSE)) {
        return FALSE;
    }
    value[0] = static_cast<UCHAR>(VtBlob);
    value[1] = static_cast<UCHAR>(VtBlob >> 8);
    value[2] = 0;
    value[3] = 0;
    value[4] = static_cast<UCHAR>(RecordBytes);
    value[5] = 0;
    value[6] = 0;
    value[7] = 0;
    RtlCopyMemory(value + 8, &record, RecordBytes);
    return TRUE;
}

namespace {

// Prepares scan's names and writes value to every matching endpoint below the root.
NTSTATUS WriteEndpointFormatWith(EndpointScan* scan, PCUNICODE_STRING interfaceLinkName,
                                 BOOLEAN isCapture, PCWSTR subdeviceName, const UCHAR* value) {
    const ULONG linkUnits = interfaceLinkName->Length / sizeof(WCHAR);
    RtlCopyMemory(scan->link, interfaceLinkName->Buffer, linkUnits * sizeof(WCHAR));
    scan->link[linkUnits] = L'\0';
    if (!NT_SUCCESS(ExtractInstanceId(scan->instanceId, EndpointNameCapacity, scan->link))) {
        return STATUS_INVALID_PARAMETER;
    }
    Lowercase(scan->instanceId);

    const ULONG subdeviceUnits = TextLength(subdeviceName, MaximumSubdeviceNameUnits + 1);
    if (subdeviceUnits == 0 || subdeviceUnits > MaximumSubdeviceNameUnits) {
        return STATUS_INVALID_PARAMETER;
    }
    scan->pattern[0] = L'\\';
    RtlCopyMemory(scan->pattern + 1, subdeviceName, subdeviceUnits * sizeof(WCHAR));
    scan->pattern[subdeviceUnits + 1] = L'\0';
    Lowercase(scan->pattern);

    HANDLE endpoints = nullptr;
    NTSTATUS status =
        OpenRegistryKey(&endpoints, nullptr, isCapture ? CaptureEndpointsPath : RenderEndpointsPath,
                        KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const auto* information = reinterpret_cast<const KEY_BASIC_INFORMATION*>(scan->enumeration);
    for (ULONG index = 0;; ++index) {
        ULONG resultLength = 0;
        status = ZwEnumerateKey(endpoints, index, KeyBasicInformation, scan->enumeration,
                                sizeof(scan->enumeration), &resultLength);
        if (!NT_SUCCESS(status)) {
            if (status == STATUS_NO_MORE_ENTRIES) {
                status = STATUS_SUCCESS;
            }
            break;
        }
        const ULONG nameUnits = information->NameLength / sizeof(WCHAR);
        if (nameUnits > MaximumSubkeyNameUnits) {
            status = STATUS_BUFFER_OVERFLOW;
            break;
        }
        RtlCopyMemory(scan->propertiesPath, information->Name, nameUnits * sizeof(WCHAR));
        RtlCopyMemory(scan->propertiesPath + nameUnits, PropertiesSuffix, sizeof(PropertiesSuffix));

        HANDLE properties = nullptr;
        status = OpenRegistryKey(&properties, endpoints, scan->propertiesPath, KEY_READ);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            // An endpoint without a property store names no filter: not ours.
            status = STATUS_SUCCESS;
            continue;
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        status = WriteIfMatching(properties, scan, value);
        ZwClose(properties);
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    ZwClose(endpoints);
    return status;
}

} // namespace

NTSTATUS WriteEndpointFormatFor(PCUNICODE_STRING interfaceLinkName, BOOLEAN isCapture,
                                PCWSTR subdeviceName, ULONG sampleRate, ULONG bitsPerSample,
                                ULONG channels, ULONG containerBytes, ULONG channelMask) {
    if (interfaceLinkName == nullptr || interfaceLinkName->Buffer == nullptr ||
        interfaceLinkName->Length % sizeof(WCHAR) != 0 || subdeviceName == nullptr ||
        interfaceLinkName->Length / sizeof(WCHAR) >= EndpointNameCapacity) {
        return STATUS_INVALID_PARAMETER;
    }
    // A format that cannot be described is written nowhere.
    UCHAR value[EndpointFormatValueBytes];
    if (!BuildEndpointFormatValue(value, sampleRate, bitsPerSample, channels, containerBytes,
                                  channelMask)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* scan = static_cast<EndpointScan*>(AllocateMemory(sizeof(EndpointScan)));
    if (scan == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        WriteEndpointFormatWith(scan, interfaceLinkName, isCapture, subdeviceName, value);
    FreeMemory(scan);
    return status;
}
