// The host port-class library's state: per driver the AddDevice it was given, per adapter device
// (the functional device object it created) the start routine, the power-management interface,
// the resource list and, as subdevices arrive, the objects that serve files. Tests can make the
// library's calls fail.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <portcls.h>

#include "kernel/Lock.h"
#include "kernel/Machine.h"

namespace host {

// Library calls a test can make fail.
// InitializeAdapterDriver with a success status other than STATUS_SUCCESS does its work and
// returns that status; with a failure status it does nothing. AddAdapterDevice, NewPort,
// PortInit (a port's Init) and RegisterSubdevice fail before they touch anything.
enum class PortClassCall {
    RegisterAdapterPowerManagement,
    InitializeAdapterDriver,
    AddAdapterDevice,
    NewPort,
    PortInit,
    RegisterSubdevice,
};

class PortBase;

// A device interface the library registered for a subdevice (one per filter category).
struct SubdeviceInterface {
    std::u16string name; // the subdevice's reference string
    GUID category;
    std::u16string link; // "\??\ROOT#MEDIA#0000#{category}\name"
};

// A physical connection between two subdevices' pins, as the driver declared it.
struct PhysicalConnection {
    std::u16string fromName;
    ULONG fromPin;
    std::u16string toName;
    ULONG toPin;
};

// What serves one open file of the library (a filter or a pin, later). The library completes
// every request; these return the status to complete with.
class PortClassFile {
public:
    virtual ~PortClassFile() = default;
    virtual NTSTATUS DeviceControl(PIRP irp, ULONG_PTR* information) = 0;
    // Creates an object under this one (a pin under a filter). Objects without children
    // refuse, as kernel streaming refuses a create item it does not have.
    virtual NTSTATUS CreateChild(PIRP irp, std::unique_ptr<PortClassFile>* child) {
        (void)irp;
        (void)child;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    virtual void Close() {}
};

// Opens a subdevice's filter for a create request naming it.
using SubdeviceFactory = std::function<NTSTATUS(PIRP irp, std::unique_ptr<PortClassFile>* file)>;

class PortClass : public Subsystem {
public:
    struct Driver {
        PDRIVER_ADD_DEVICE addDevice = nullptr;
        bool unloaded = false;
    };

    struct Device {
        PDRIVER_OBJECT driver = nullptr;
        PDEVICE_OBJECT physicalDevice = nullptr;
        PDEVICE_OBJECT lowerDevice = nullptr;
        PCPFNSTARTDEVICE startDevice = nullptr;
        ULONG maxObjects = 0;
        PRESOURCELIST resources = nullptr;
        PADAPTERPOWERMANAGEMENT powerManagement = nullptr;
        unsigned starts = 0;
        // Subdevices by reference string (compared without regard to case, as names are).
        std::vector<std::pair<std::u16string, SubdeviceFactory>> subdevices;
        using Files = std::map<PFILE_OBJECT, std::unique_ptr<PortClassFile>>;
        Files files;
        // The object serving file, or null (expects the library's lock). Every request on a
        // stream names the same pin, so the map node found last is kept until it is erased.
        PortClassFile* FindFile(PFILE_OBJECT file) {
            if (lastFile == nullptr || lastFile->first != file) {
                auto found = files.find(file);
                if (found == files.end()) {
                    return nullptr;
                }
                lastFile = &*found;
            }
            return lastFile->second.get();
        }
        void EraseFile(Files::iterator file) {
            if (lastFile == &*file) {
                lastFile = nullptr;
            }
            files.erase(file);
        }
        const Files::value_type* lastFile = nullptr;
        // Ports bound to a miniport on this device (not counted: a port leaves when it goes),
        // and the registered ones (counted until the device goes).
        std::vector<PortBase*> ports;
        std::vector<PortBase*> registeredPorts;
        std::vector<SubdeviceInterface> interfaces;
        std::vector<PhysicalConnection> connections;
    };

    ~PortClass() override;

    // Makes the next call (or the nth from now, 1 being the next) fail with status.
    void InjectFault(PortClassCall call, NTSTATUS status, unsigned nth = 1);
    // The injected status for this call, or STATUS_SUCCESS when it should run.
    NTSTATUS TakeFault(PortClassCall call);

    // Taken on every request the library serves: the host's lean lock, not std::mutex.
    Lock lock;
    std::map<PDRIVER_OBJECT, Driver> drivers;
    std::map<PDEVICE_OBJECT, Device> devices;

    // Expects lock. Every request the library serves looks up its device, and a driver has one
    // or two: the one found last is kept (a map node stays put until it is erased).
    Device* FindDevice(PDEVICE_OBJECT device) {
        return device == lastDevice && device != nullptr ? lastFound : FindOtherDevice(device);
    }
    // Makes name a subdevice of device: STATUS_INVALID_PARAMETER for a device the library did
    // not create, STATUS_OBJECT_NAME_COLLISION for a name in use, STATUS_INSUFFICIENT_RESOURCES
    // beyond the device's maximum object count.
    NTSTATUS AddSubdevice(PDEVICE_OBJECT device, const std::u16string& name,
                          SubdeviceFactory factory);
    // Takes a subdevice back (a registration that failed half-way).
    void RemoveSubdevice(PDEVICE_OBJECT device, const std::u16string& name);
    // What tests ask of a device: its subdevices in registration order, the interfaces
    // registered for them and the physical connections.
    std::vector<std::u16string> SubdeviceNames(PDEVICE_OBJECT device);
    std::vector<SubdeviceInterface> Interfaces(PDEVICE_OBJECT device);
    std::vector<PhysicalConnection> Connections(PDEVICE_OBJECT device);

    // Releases what the library holds for a device and forgets it.
    void ForgetDevice(PDEVICE_OBJECT device);

    // A driver whose unload did not call the library's unload routine, or a device whose
    // power-management interface was never given back.
    void Verify(std::vector<std::string>& problems) override;

private:
    Device* FindOtherDevice(PDEVICE_OBJECT device);

    PDEVICE_OBJECT lastDevice = nullptr;
    Device* lastFound = nullptr;

    struct Fault {
        NTSTATUS status;
        unsigned countdown;
    };
    std::map<PortClassCall, Fault> faults;
};

// The library's resource list over a start request's resources.
PRESOURCELIST NewResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated);

} // namespace host
