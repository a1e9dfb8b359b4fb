// Property requests and filter paths as the integration tests build them from user mode.
#pragma once

#include <string>
#include <vector>

#include <ksmedia.h>

#include "kernel/UserMode.h"

struct Reply {
    NTSTATUS status;
    ULONG bytes;
    std::vector<unsigned char> value;
};

inline std::vector<unsigned char> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

template <class T>
std::vector<unsigned char> Bytes(const T& value) {
    return Bytes(&value, sizeof(value));
}

inline KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

// The user-mode path of a subdevice's interface in category, or empty.
inline std::u16string FilterPath(const std::u16string& name,
                                 const GUID& category = KSCATEGORY_AUDIO) {
    const std::u16string tail = u"\\" + name;
    for (const std::u16string& path : host::user::GetDeviceInterfacePaths(category)) {
        if (path.size() > tail.size() &&
            path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
            return path;
        }
    }
    return std::u16string();
}
