// Device interfaces: the symbolic links a driver registers on its physical device object, in
// the shape Windows gives them ("\??\ROOT#MEDIA#0000#{class}[\reference]"), and whether each
// is enabled. User-mode opens resolve a path through the enabled ones.
#pragma once

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
    struct Entry {
        PDEVICE_OBJECT physicalDevice;
        GUID interfaceClass;
        std::u16string link;
        // The link's reference string: the file name ("\reference...") of what opens it.
        std::u16string reference;
        bool enabled = false;
    };
    std::mutex lock;
    std::vector<Entry> entries;
};

// "{acc2f77f-7e94-4cfd-a594-cfb76b622885}": lower case, in braces.
std::u16string GuidText(const GUID& guid);
// Case-insensitive equality as the object manager compares names.
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

} // namespace host
