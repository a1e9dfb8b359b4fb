// Device interfaces: the symbolic links a driver registers on its physical device object, in
// the shape Windows gives them ("\??\ROOT#MEDIA#0000#{class}[\reference]"), whether each is
// enabled, and the properties set on each. User-mode opens resolve a path through the enabled
// ones.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Machine.h"

namespace host {

class DeviceInterfaces : public Subsystem {
public:
    NTSTATUS Register(PDEVICE_OBJECT physicalDevice, const GUID& interfaceClass,
                      const std::u16string* referenceString, std::u16string* link);
    NTSTATUS SetState(const std::u16string& link, bool enable);

    // IoSetDeviceInterfacePropertyData and IoGetDeviceInterfacePropertyData past their pointer
    // checks (docs/architecture.md lists the refusals). data null deletes the property.
    NTSTATUS SetProperty(const std::u16string& link, const DEVPROPKEY& key, LCID lcid, ULONG flags,
                         DEVPROPTYPE type, ULONG size, const void* data);
    NTSTATUS GetProperty(const std::u16string& link, const DEVPROPKEY& key, LCID lcid, ULONG size,
                         void* data, ULONG* requiredSize, DEVPROPTYPE* type);
    // The kernel link ("\??\...") of the interface a user-mode path names exactly (no file
    // name after it); empty when there is none.
    std::u16string LinkOfPath(const std::u16string& path);

    // Resolves a user-mode path ("\\?\ROOT#...{class}\rest" or "\??\ROOT#...{class}\rest")
    // through an enabled interface: the physical device and what follows the link ("\rest"),
    // behind the link's reference string, as Windows names the file ("\wave_r\rest").
    bool Resolve(const std::u16string& path, PDEVICE_OBJECT* physicalDevice,
                 std::u16string* remainder);
    // The user-mode paths ("\\?\...") of the enabled interfaces of a class, as a device
    // enumeration returns them.
    std::vector<std::u16string> EnabledPaths(const GUID& interfaceClass);
    bool IsEnabled(const std::u16string& link);
    // Disables every interface of a physical device, as Windows does when the device goes.
    void DisableAll(PDEVICE_OBJECT physicalDevice);

private:
    struct Property {
        DEVPROPKEY key;
        LCID lcid;
        DEVPROPTYPE type;
        std::vector<std::uint8_t> value;
    };
    struct Entry {
        PDEVICE_OBJECT physicalDevice;
        GUID interfaceClass;
        std::u16string link;
        // The link's reference string: the file name ("\reference...") of what opens it.
        std::u16string reference;
        bool enabled = false;
        std::vector<Property> properties;
    };
    Entry* Find(const std::u16string& link); // under lock
    std::mutex lock;
    std::vector<Entry> entries;
};

// "{acc2f77f-7e94-4cfd-a594-cfb76b622885}": lower case, in braces.
std::u16string GuidText(const GUID& guid);
// Case-insensitive equality as the object manager compares names.
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

} // namespace host
