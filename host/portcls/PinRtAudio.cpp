// The RT-audio property set of a WaveRT pin: the cyclic buffer and the hardware registers mapped
// into the caller's process, latency, notification events, and the packet calls of the stream's
// optional input and output interfaces.
#include <cstring>

#include "WaveRTPin.h"

namespace host {

namespace {

constexpr ULONG Get = KSPROPERTY_TYPE_GET;

template <class T>
NTSTATUS Reply(const PropertyCall& call, const T& value, ULONG_PTR* information) {
    std::memcpy(call.value, &value, sizeof(value));
    *information = sizeof(value);
    return STATUS_SUCCESS;
}

// The records that carry a pointer or a handle have other layouts for a 32-bit caller, which
// this library does not translate: it refuses them rather than read them wrongly.
bool CarriesPointer(ULONG id) {
    switch (id) {
    case KSPROPERTY_RTAUDIO_BUFFER:
    case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION:
    case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
    case KSPROPERTY_RTAUDIO_CLOCKREGISTER:
    case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
    case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT:
        return true;
    default:
        return false;
    }
}

} // namespace

NTSTATUS PinFile::RtAudioProperty(const PropertyCall& call, ULONG_PTR* information) {
    NTSTATUS status = STATUS_SUCCESS;
    if (CarriesPointer(call.property.Id) && IoIs32bitProcess(call.irp)) {
        return STATUS_NOT_SUPPORTED;
    }
    switch (call.property.Id) {
    case KSPROPERTY_RTAUDIO_BUFFER:
        if (!AdmitRequest(call, Get, sizeof(KSRTAUDIO_BUFFER_PROPERTY), sizeof(KSRTAUDIO_BUFFER),
                          &status, information)) {
            return status;
        }
        return AllocateBuffer(call, false, information);
    case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION:
        if (!AdmitRequest(call, Get, sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION),
                          sizeof(KSRTAUDIO_BUFFER), &status, information)) {
            return status;
        }
        return AllocateBuffer(call, true, information);
    case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
    case KSPROPERTY_RTAUDIO_CLOCKREGISTER:
        if (!AdmitRequest(call, Get, sizeof(KSRTAUDIO_HWREGISTER_PROPERTY),
                          sizeof(KSRTAUDIO_HWREGISTER), &status, information)) {
            return status;
        }
        return HardwareRegister(call, call.property.Id == KSPROPERTY_RTAUDIO_POSITIONREGISTER,
                                information);
    case KSPROPERTY_RTAUDIO_HWLATENCY: {
        if (!AdmitRequest(call, Get, sizeof(KSPROPERTY), sizeof(KSRTAUDIO_HWLATENCY), &status,
                          information)) {
            return status;
        }
        KSRTAUDIO_HWLATENCY latency{};
        stream->GetHWLatency(&latency);
        return Reply(call, latency, information);
    }
    case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
    case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT:
        if (!AdmitRequest(call, Get, sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY), 0, &status,
                          information)) {
            return status;
        }
        return NotificationEvent(call, call.property.Id ==
                                           KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT);
    case KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT: {
        if (!AdmitRequest(call, Get, sizeof(KSPROPERTY), sizeof(BOOL), &status, information)) {
            return status;
        }
        PUNKNOWN notification = Optional(IID_IMiniportWaveRTStreamNotification);
        const BOOL supported = notification != nullptr ? TRUE : FALSE;
        if (notification != nullptr) {
            notification->Release();
        }
        return Reply(call, supported, information);
    }
    case KSPROPERTY_RTAUDIO_PACKETCOUNT:
    case KSPROPERTY_RTAUDIO_PRESENTATION_POSITION:
    case KSPROPERTY_RTAUDIO_GETREADPACKET:
    case KSPROPERTY_RTAUDIO_SETWRITEPACKET:
        return PacketProperty(call, information);
    default:
        return STATUS_NOT_FOUND;
    }
}

NTSTATUS PinFile::AllocateBuffer(const PropertyCall& call, bool withNotification,
                                 ULONG_PTR* information) {
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    std::memcpy(&request, call.input,
                withNotification ? sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION)
                                 : sizeof(KSRTAUDIO_BUFFER_PROPERTY));
    std::lock_guard<Lock> hold(lock);
    if (buffer.mdl != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST; // one buffer per pin, until it closes
    }
    IMiniportWaveRTStreamNotification* notification = nullptr;
    if (withNotification) {
        notification = reinterpret_cast<IMiniportWaveRTStreamNotification*>(
            Optional(IID_IMiniportWaveRTStreamNotification));
        if (notification == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
    }
    PMDL mdl = nullptr;
    ULONG actualSize = 0;
    ULONG offset = 0;
    MEMORY_CACHING_TYPE cacheType = MmCached;
    NTSTATUS status = withNotification
                          ? notification->AllocateBufferWithNotification(
                                request.NotificationCount, request.RequestedBufferSize, &mdl,
                                &actualSize, &offset, &cacheType)
                          : stream->AllocateAudioBuffer(request.RequestedBufferSize, &mdl,
                                                        &actualSize, &offset, &cacheType);
    if (NT_SUCCESS(status) && mdl == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        buffer.mdl = mdl;
        bufferSize = actualSize;
        bufferWithNotification = withNotification;
        status = MapIntoCaller(mdl, cacheType, &buffer);
        if (!NT_SUCCESS(status)) {
            FreeBuffer(); // the caller cannot reach a buffer it was not given
        }
    }
    if (notification != nullptr) {
        notification->Release();
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    buffer.item = static_cast<unsigned char*>(buffer.address) + offset;
    KSRTAUDIO_BUFFER reply{};
    reply.BufferAddress = buffer.item;
    reply.ActualBufferSize = actualSize;
    reply.CallMemoryBarrier = FALSE;
    return Reply(call, reply, information);
}

// Under the pin's lock.
void PinFile::FreeBuffer() {
    if (buffer.mdl == nullptr) {
        return;
    }
    PMDL mdl = buffer.mdl;
    Unmap(&buffer); // before the miniport frees the MDL under the view
    if (bufferWithNotification) {
        auto* notification = reinterpret_cast<IMiniportWaveRTStreamNotification*>(
            Optional(IID_IMiniportWaveRTStreamNotification));
        if (notification != nullptr) {
            notification->FreeBufferWithNotification(mdl, bufferSize);
            notification->Release();
        }
    } else {
        stream->FreeAudioBuffer(mdl, bufferSize);
    }
    bufferSize = 0;
    bufferWithNotification = false;
}

NTSTATUS PinFile::HardwareRegister(const PropertyCall& call, bool position,
                                   ULONG_PTR* information) {
    std::lock_guard<Lock> hold(lock);
    KSRTAUDIO_HWREGISTER hardware{};
    NTSTATUS status =
        position ? stream->GetPositionRegister(&hardware) : stream->GetClockRegister(&hardware);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (hardware.Register == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    // The caller keeps the address it was given first: a second request maps nothing new.
    UserView& view = position ? positionRegister : clockRegister;
    if (!view.Mapped()) {
        status = MapRegisterIntoCaller(hardware.Register, &view);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    hardware.Register = view.item;
    return Reply(call, hardware, information);
}

NTSTATUS PinFile::NotificationEvent(const PropertyCall& call, bool add) {
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request;
    std::memcpy(&request, call.input, sizeof(request));
    std::shared_ptr<HandleObject> object;
    NTSTATUS status = ReferenceUserEvent(request.NotificationEvent, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* event = static_cast<PKEVENT>(object->Body());
    auto* notification = reinterpret_cast<IMiniportWaveRTStreamNotification*>(
        Optional(IID_IMiniportWaveRTStreamNotification));
    if (notification == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    std::lock_guard<Lock> hold(lock);
    if (add) {
        status = notification->RegisterNotificationEvent(event);
        if (NT_SUCCESS(status)) {
            events.push_back(Registered{event, std::move(object)});
        }
    } else {
        status = notification->UnregisterNotificationEvent(event);
        for (auto it = events.begin(); it != events.end(); ++it) {
            if (it->event == event) {
                events.erase(it);
                break;
            }
        }
    }
    notification->Release();
    return status;
}

NTSTATUS PinFile::PacketProperty(const PropertyCall& call, ULONG_PTR* information) {
    const ULONG id = call.property.Id;
    const bool input = id == KSPROPERTY_RTAUDIO_GETREADPACKET;
    ULONG valueSize = sizeof(ULONG);
    if (id == KSPROPERTY_RTAUDIO_PRESENTATION_POSITION) {
        valueSize = sizeof(KSAUDIO_PRESENTATION_POSITION);
    } else if (id == KSPROPERTY_RTAUDIO_GETREADPACKET) {
        valueSize = sizeof(KSRTAUDIO_GETREADPACKET_INFO);
    } else if (id == KSPROPERTY_RTAUDIO_SETWRITEPACKET) {
        valueSize = sizeof(KSRTAUDIO_SETWRITEPACKET_INFO);
    }
    const ULONG access = id == KSPROPERTY_RTAUDIO_SETWRITEPACKET ? KSPROPERTY_TYPE_SET : Get;
    NTSTATUS status = STATUS_SUCCESS;
    if (!AdmitRequest(call, access, sizeof(KSPROPERTY), valueSize, &status, information)) {
        return status;
    }
    PUNKNOWN packets =
        Optional(input ? IID_IMiniportWaveRTInputStream : IID_IMiniportWaveRTOutputStream);
    if (packets == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    if (input) {
        KSRTAUDIO_GETREADPACKET_INFO read{};
        DWORD flags = 0;
        status = reinterpret_cast<IMiniportWaveRTInputStream*>(packets)->GetReadPacket(
            &read.PacketNumber, &flags, &read.PerformanceCounterValue, &read.MoreData);
        read.Flags = flags;
        if (NT_SUCCESS(status)) {
            Reply(call, read, information);
        }
    } else {
        auto* output = reinterpret_cast<IMiniportWaveRTOutputStream*>(packets);
        if (id == KSPROPERTY_RTAUDIO_SETWRITEPACKET) {
            KSRTAUDIO_SETWRITEPACKET_INFO write;
            std::memcpy(&write, call.value, sizeof(write));
            status = output->SetWritePacket(write.PacketNumber, write.Flags, write.EosPacketLength);
        } else if (id == KSPROPERTY_RTAUDIO_PACKETCOUNT) {
            ULONG count = 0;
            status = output->GetPacketCount(&count);
            if (NT_SUCCESS(status)) {
                Reply(call, count, information);
            }
        } else {
            KSAUDIO_PRESENTATION_POSITION presentation{};
            status = output->GetOutputStreamPresentationPosition(&presentation);
            if (NT_SUCCESS(status)) {
                Reply(call, presentation, information);
            }
        }
    }
    packets->Release();
    return status;
}

} // namespace host
