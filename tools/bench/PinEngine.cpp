// The engine side through kernel streaming, with the audio engine's own request helpers: the
// render wave filter opened by its interface, a pin created on it, the notification buffer,
// the engine's event and every state change sent as property requests to the pin.
#include "PinEngine.h"

#include <mmreg.h>

#include "HostDriver.h"
#include "KsRequests.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"

namespace bench {

namespace {

using conduit::tool::StatusText;
using host::engine::MakeProperty;
using host::engine::SendProperty;

// The render filter's streaming pin: the one the audio engine connects to.
constexpr ULONG StreamingPin = 0;

// The client's format, which the driver streams in: 48 kHz, 16-bit PCM, front left and right.
WAVEFORMATEXTENSIBLE StreamFormat() {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = 48000;
    format.Format.wBitsPerSample = 16;
    format.Format.nBlockAlign = 4;
    format.Format.nAvgBytesPerSec = 48000 * 4;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 16;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

} // namespace

PinEngine::~PinEngine() {
    std::string ignored;
    Close(&ignored);
}

const char* PinEngine::Describe() {
    return "kernel-streaming requests to a pin of the render wave filter";
}

bool PinEngine::Open(std::uint32_t framesPerPeriod, HANDLE notifyEvent, std::string* error) {
    host::ProcessScope scope(&process_);
    const std::u16string path = host::engine::FindFilterPath(u"wave_r");
    if (path.empty()) {
        *error = "no interface for the render wave filter";
        return false;
    }
    filter_ = host::user::CreateFile(path);
    if (filter_ == INVALID_HANDLE_VALUE) {
        *error = "cannot open the render wave filter: " + StatusText(host::user::LastStatus());
        filter_ = nullptr;
        return false;
    }
    const WAVEFORMATEXTENSIBLE format = StreamFormat();
    // Looped streaming first, as the engine asks; the plain interface if the pin refuses it.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG interfaceId :
         {ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING), ULONG(KSINTERFACE_STANDARD_STREAMING)}) {
        pin_ = host::user::CreateFileRelative(
            filter_, host::engine::PinCreateName(StreamingPin, format, interfaceId));
        if (pin_ != INVALID_HANDLE_VALUE) {
            break;
        }
        status = host::user::LastStatus();
    }
    if (pin_ == INVALID_HANDLE_VALUE) {
        pin_ = nullptr;
        *error = "pin creation failed: " + StatusText(status);
        return false;
    }

    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
    request.Property = MakeProperty(
        KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, KSPROPERTY_TYPE_GET);
    request.BaseAddress = nullptr;
    request.RequestedBufferSize = 2 * framesPerPeriod * format.Format.nBlockAlign;
    request.NotificationCount = 2;
    KSRTAUDIO_BUFFER buffer{};
    status = SendProperty(pin_, &request, sizeof(request), &buffer, sizeof(buffer));
    if (!NT_SUCCESS(status)) {
        *error = "buffer with notification failed: " + StatusText(status);
        return false;
    }
    status = host::engine::SetNotificationEvent(pin_, notifyEvent, true);
    if (!NT_SUCCESS(status)) {
        *error = "event registration failed: " + StatusText(status);
        return false;
    }
    event_ = notifyEvent;
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        status = SetState(state);
        if (!NT_SUCCESS(status)) {
            *error = "state change to " + std::to_string(state) + " failed: " + StatusText(status);
            return false;
        }
    }
    return true;
}

NTSTATUS PinEngine::SetState(KSSTATE state) {
    host::ProcessScope scope(&process_);
    const KSPROPERTY property =
        MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    KSSTATE value = state;
    NTSTATUS status = SendProperty(pin_, &property, sizeof(property), &value, sizeof(value));
    if (NT_SUCCESS(status)) {
        state_ = state;
    }
    return status;
}

bool PinEngine::Close(std::string* error) {
    bool good = true;
    host::ProcessScope scope(&process_);
    if (pin_ != nullptr) {
        while (state_ != KSSTATE_STOP) {
            KSSTATE lower = static_cast<KSSTATE>(state_ - 1);
            NTSTATUS status = SetState(lower);
            if (!NT_SUCCESS(status)) {
                *error =
                    "state change to " + std::to_string(lower) + " failed: " + StatusText(status);
                good = false;
                break;
            }
        }
        if (event_ != nullptr) {
            host::engine::SetNotificationEvent(pin_, event_, false);
            event_ = nullptr;
        }
        // The pin's close frees the buffer and the stream.
        host::user::CloseHandle(pin_);
        pin_ = nullptr;
        state_ = KSSTATE_STOP;
    }
    if (filter_ != nullptr) {
        host::user::CloseHandle(filter_);
        filter_ = nullptr;
    }
    return good;
}

} // namespace bench
