// The five control requests a client sends on its file, and what they do to the direction.
#pragma once

#include "platform/KernelHeaders.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

// Validates and runs one control request, completes it, then updates the connection state.
NTSTATUS DispatchControl(TransportEndpoint* endpoint, PIRP irp);

// The client's device format: applied at once while no stream exists, else kept as pending.
NTSTATUS SetDeviceFormat(TransportChannel* channel, const DeviceFormat& requested);
// The least buffer length in frames: applied at once while no stream exists, else pending.
NTSTATUS SetLatency(TransportChannel* channel, ULONG latencyFrames);
// Hands the client's answer to the waiting handshake (numbered: only to the handshake
// handshakeNumber), or, for StatusTransportTick, wakes the worker for one tick.
NTSTATUS ReportClientStatus(TransportChannel* channel, LONG clientStatus, bool numbered,
                            ULONG handshakeNumber);
