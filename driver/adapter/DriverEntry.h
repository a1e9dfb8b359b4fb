// The driver's frame: load, the one adapter device, its start, and unload.
#pragma once

#include "platform/AudioHeaders.h"

class AdapterCommon;

// The driver-wide record of one load.
struct DriverContext {
    PDEVICE_OBJECT physicalDeviceObject; // not referenced; null until AddDevice
    BOOLEAN deviceAdded;                 // never cleared within a load
    UNICODE_STRING interfaceLinkName;    // the private interface's link; owned by the record
};

// The published adapter object, or null before a start (or after a failed allocation).
AdapterCommon* PublishedAdapter();
// The published driver context, or null.
DriverContext* PublishedDriverContext();

extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT deviceObject, PIRP startIrp, PRESOURCELIST resources);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject);
VOID DriverTeardown();
