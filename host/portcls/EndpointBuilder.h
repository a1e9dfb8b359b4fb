// The system's endpoint builder, as far as a driver can see it: a registered WaveRT filter gets an
// audio endpoint in the registry that names it, so the driver's endpoint property writer finds it.
#pragma once

#include <vector>

#include <portcls.h>

#include "PortClass.h"

namespace host {

class PortBase;

// Creates the endpoint of a WaveRT filter just registered with its interfaces: a render endpoint
// when its streaming pin takes audio in, a capture endpoint when it gives audio out. Nothing for
// other ports, filters without an enabled audio interface, or a filter that already has its
// endpoint (endpoints outlive the device, as they do on Windows, and come back the same).
void BuildAudioEndpoint(PortBase* port, PDEVICE_OBJECT physicalDevice,
                        const std::vector<SubdeviceInterface>& interfaces);

} // namespace host
