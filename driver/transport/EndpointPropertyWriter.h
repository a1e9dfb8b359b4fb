// Writes a channel's device format into the property store of the audio endpoints that its
// WaveRT filter serves, where the system keeps an endpoint's device format.
#pragma once

#include "platform/KernelHeaders.h"

class TransportChannel;

NTSTATUS WriteEndpointFormat(TransportChannel* channel);
