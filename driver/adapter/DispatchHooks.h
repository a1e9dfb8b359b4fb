// The driver's own entries for create, close and device control: each first offers the request
// to the transport side and passes it to the port-class library when the transport side does
// not claim it.
#pragma once

#include "platform/AudioHeaders.h"

extern "C" {
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;
}
