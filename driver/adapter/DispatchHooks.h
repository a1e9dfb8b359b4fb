// The driver's entries in the driver object. The port-class library fills the driver object
// first; the driver saves every entry it finds and puts its own hooks in all of them. A hook
// serves the transport files itself and hands every other request to the saved entry of its
// kind, so those go exactly where they went before.
#pragma once

#include "platform/AudioHeaders.h"

// Saves every major-function entry of driverObject and installs the hooks.
VOID InstallDispatchHooks(PDRIVER_OBJECT driverObject);

extern "C" {
DRIVER_DISPATCH DispatchCreate;
// Every kind but create.
DRIVER_DISPATCH DispatchRequest;
}
