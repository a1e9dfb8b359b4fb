// An open WaveRT pin: its property requests turned into calls of the miniport's stream (state
// one step at a time, format, position; the RT-audio set lives in PinRtAudio.cpp), and the close
// that walks the stream down, gives back what the port holds for the caller and releases it.
#include <cstring>

#include "WaveRTPin.h"
#include "kernel/Irql.h"

namespace host {

bool AdmitRequest(const PropertyCall& call, ULONG access, ULONG inputSize, ULONG valueSize,
                  NTSTATUS* status, ULONG_PTR* information) {
    const ULONG flags = call.property.Flags;
    if (flags == KSPROPERTY_TYPE_BASICSUPPORT) {
        if (call.valueLength == 0) {
            *information = sizeof(ULONG);
            *status = STATUS_BUFFER_OVERFLOW;
        } else if (call.valueLength < sizeof(ULONG)) {
            *status = STATUS_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(call.value, &access, sizeof(access));
            *information = sizeof(ULONG);
            *status = STATUS_SUCCESS;
        }
        return false;
    }
    if (flags != KSPROPERTY_TYPE_GET && flags != KSPROPERTY_TYPE_SET) {
        *status = STATUS_INVALID_PARAMETER;
        return false;
    }
    if ((flags & access) == 0) {
        *status = STATUS_INVALID_DEVICE_REQUEST;
        return false;
    }
    if (call.inputLength < inputSize) {
        *status = STATUS_INVALID_BUFFER_SIZE;
        return false;
    }
    if (valueSize != 0 && flags == KSPROPERTY_TYPE_GET && call.valueLength == 0) {
        *information = valueSize;
        *status = STATUS_BUFFER_OVERFLOW;
        return false;
    }
    if (call.valueLength < valueSize) {
        *status = STATUS_BUFFER_TOO_SMALL;
        return false;
    }
    return true;
}

PinFile::PinFile(PortBase* port, ULONG pinId, PMINIPORTWAVERTSTREAM stream,
                 IPortWaveRTStream* portStream, std::vector<ULONGLONG> format, ULONG formatSize)
    : port(port), pinId(pinId), stream(stream), portStream(portStream), format(std::move(format)),
      formatSize(formatSize) {
    port->AddRef();
}

NTSTATUS PinFile::DeviceControl(PIRP irp, ULONG_PTR* information) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "a kernel-streaming request");
    *information = 0;
    if (stream == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY:
        return ServeProperty(irp, information,
                             [this](const PropertyCall& call, ULONG_PTR* written) {
                                 const GUID& set = call.property.Set;
                                 if (IsEqualGUID(set, KSPROPSETID_Connection)) {
                                     return ConnectionProperty(call, written);
                                 }
                                 if (IsEqualGUID(set, KSPROPSETID_RtAudio)) {
                                     return RtAudioProperty(call, written);
                                 }
                                 if (IsEqualGUID(set, KSPROPSETID_Audio)) {
                                     return AudioProperty(call, written);
                                 }
                                 return STATUS_NOT_FOUND;
                             });
    default:
        // The pin serves no events and no methods.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS PinFile::ConnectionProperty(const PropertyCall& call, ULONG_PTR* information) {
    NTSTATUS status = STATUS_SUCCESS;
    switch (call.property.Id) {
    case KSPROPERTY_CONNECTION_STATE: {
        if (!AdmitRequest(call, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY),
                          sizeof(KSSTATE), &status, information)) {
            return status;
        }
        if (call.property.Flags == KSPROPERTY_TYPE_GET) {
            const KSSTATE current = static_cast<KSSTATE>(state.load());
            std::memcpy(call.value, &current, sizeof(current));
            *information = sizeof(current);
            return STATUS_SUCCESS;
        }
        // Read as a number: the caller's value need not be a state at all.
        ULONG target = 0;
        std::memcpy(&target, call.value, sizeof(target));
        if (target > KSSTATE_RUN) {
            return STATUS_INVALID_PARAMETER;
        }
        std::lock_guard<Lock> hold(lock);
        return SetState(static_cast<KSSTATE>(target));
    }
    case KSPROPERTY_CONNECTION_DATAFORMAT: {
        if (!AdmitRequest(call, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY),
                          sizeof(KSDATAFORMAT), &status, information)) {
            return status;
        }
        if (call.property.Flags == KSPROPERTY_TYPE_SET) {
            return SetFormat(call);
        }
        std::lock_guard<Lock> hold(lock);
        if (call.valueLength < formatSize) {
            *information = formatSize;
            return STATUS_BUFFER_OVERFLOW;
        }
        std::memcpy(call.value, format.data(), formatSize);
        *information = formatSize;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_NOT_FOUND;
    }
}

// One adjacent step at a time, as the stream only takes those; the first refusal ends the walk
// and the pin stays where it got to.
NTSTATUS PinFile::SetState(KSSTATE target) {
    while (state.load() != static_cast<ULONG>(target)) {
        const ULONG current = state.load();
        const ULONG next = static_cast<ULONG>(target) > current ? current + 1 : current - 1;
        NTSTATUS status = stream->SetState(static_cast<KSSTATE>(next));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        state = next;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PinFile::SetFormat(const PropertyCall& call) {
    KSDATAFORMAT header;
    std::memcpy(&header, call.value, sizeof(header));
    if (header.FormatSize < sizeof(header) || header.FormatSize > call.valueLength) {
        return STATUS_INVALID_PARAMETER;
    }
    // An aligned copy of exactly the announced size.
    std::vector<ULONGLONG> proposed((header.FormatSize + 7) / 8, 0);
    std::memcpy(proposed.data(), call.value, header.FormatSize);
    std::lock_guard<Lock> hold(lock);
    NTSTATUS status = stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(proposed.data()));
    if (NT_SUCCESS(status)) {
        format = std::move(proposed);
        formatSize = header.FormatSize;
    }
    return status;
}

NTSTATUS PinFile::AudioProperty(const PropertyCall& call, ULONG_PTR* information) {
    if (call.property.Id != KSPROPERTY_AUDIO_POSITION) {
        return STATUS_NOT_FOUND;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!AdmitRequest(call, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), sizeof(KSAUDIO_POSITION),
                      &status, information)) {
        return status;
    }
    KSAUDIO_POSITION position{};
    // The port asks at DISPATCH_LEVEL, as Windows's does: a miniport that waits or takes a
    // mutex there stops the test with a bug check.
    KIRQL previous = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    status = stream->GetPosition(&position);
    KeLowerIrql(previous);
    if (NT_SUCCESS(status)) {
        std::memcpy(call.value, &position, sizeof(position));
        *information = sizeof(position);
    }
    return status;
}

PUNKNOWN PinFile::Optional(const GUID& id) {
    PVOID found = nullptr;
    if (!NT_SUCCESS(stream->QueryInterface(id, &found))) {
        return nullptr;
    }
    return static_cast<PUNKNOWN>(found);
}

void PinFile::Close() {
    if (stream == nullptr) {
        return;
    }
    {
        std::lock_guard<Lock> hold(lock);
        if (!events.empty()) {
            auto* notification = reinterpret_cast<IMiniportWaveRTStreamNotification*>(
                Optional(IID_IMiniportWaveRTStreamNotification));
            for (const Registered& entry : events) {
                if (notification != nullptr) {
                    notification->UnregisterNotificationEvent(entry.event);
                }
            }
            events.clear();
            if (notification != nullptr) {
                notification->Release();
            }
        }
        // Steps down do not fail; a stream that refused one anyway walks itself down when it
        // goes.
        (void)SetState(KSSTATE_STOP);
        FreeBuffer();
        Unmap(&positionRegister);
        Unmap(&clockRegister);
    }
    PMINIPORTWAVERTSTREAM released = stream;
    stream = nullptr;
    released->Release();
    portStream->Release();
    portStream = nullptr;
    port->ReturnPinInstance(pinId);
    PortBase* owner = port;
    port = nullptr;
    owner->Release();
}

} // namespace host
