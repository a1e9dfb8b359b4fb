// Plug and play for the host: loads a driver (calls its entry point with a driver object and a
// registry path), adds its one device over a root-enumerated physical device object, starts
// it, and unloads it (remove, unload routine, then the verifier).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Machine.h"

namespace host {

// What the PnP manager knows of one loaded driver.
struct LoadedDriver {
    PDRIVER_OBJECT driverObject = nullptr;
    // Kept alive until the driver is unloaded: the image the entry point lives in (a
    // DriverImage, or nothing for a driver linked into the test).
    std::shared_ptr<void> image;
    std::u16string registryPath;
    PDEVICE_OBJECT physicalDevice = nullptr;
    bool started = false;
};

class Pnp : public Subsystem {
public:
    ~Pnp() override;

    // Calls entry (DriverEntry) with a fresh driver object named after service and the
    // registry path "\Registry\Machine\System\CurrentControlSet\Services\<service>". On
    // failure the driver object is deleted and null is returned, with the status in *status.
    LoadedDriver* Load(PDRIVER_INITIALIZE entry, const std::u16string& service, NTSTATUS* status,
                       std::shared_ptr<void> image = nullptr);

    // Enumerates a root device of the class ("MEDIA": "ROOT\MEDIA\0000") and calls the
    // driver's AddDevice with it. A driver without AddDevice gets STATUS_NOT_SUPPORTED.
    NTSTATUS AddDevice(LoadedDriver& driver, const std::u16string& deviceClass = u"MEDIA");

    // Sends IRP_MJ_PNP / IRP_MN_START_DEVICE (with an empty resource list) to the top of the
    // device's stack and returns its final status.
    NTSTATUS StartDevice(LoadedDriver& driver);

    // Removes the device (IRP_MN_REMOVE_DEVICE to the top of the stack; its interfaces are
    // disabled and the physical device deleted), calls the unload routine, deletes the driver
    // object and returns the verifier's findings. Files still open on the device make the unload
    // refuse (one finding saying so; nothing is changed).
    std::vector<std::string> Unload(LoadedDriver& driver);

private:
    NTSTATUS SendPnp(LoadedDriver& driver, UCHAR minorFunction);
    std::vector<std::unique_ptr<LoadedDriver>> drivers;
    CM_RESOURCE_LIST emptyResources{};
};

} // namespace host
