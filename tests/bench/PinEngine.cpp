// The engine side through kernel streaming, as the audio engine talks to the driver: the
// render wave filter opened by its interface, a pin created on it, the notification buffer,
// the engine's event and every state change sent as property requests to the pin.
#include <ntddk.h>

#include <ksmedia.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "EngineSide.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"
#include "support/DataFormat.h"
#include "support/WaveFormat.h"

namespace bench {

namespace {

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

// The render filter's streaming pin: the one the audio engine connects to.
constexpr ULONG StreamingPin = 0;

std::u16string FilterPath(const std::u16string& name) {
    const std::u16string tail = u"\\" + name;
    for (const std::u16string& path : host::user::GetDeviceInterfacePaths(KSCATEGORY_AUDIO)) {
        if (path.size() > tail.size() &&
            path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
            return path;
        }
    }
    return std::u16string();
}

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

class PinEngine : public EngineSide {
public:
    explicit PinEngine(host::Process& engineProcess) : process_(engineProcess) {}
    ~PinEngine() override {
        std::string ignored;
        Close(&ignored);
    }

    std::string Describe() const override {
        return "kernel-streaming requests to a pin of the render wave filter";
    }

    bool PinRefused() const override { return pinRefused_; }

    bool Open(std::uint32_t framesPerPeriod, HANDLE notifyEvent, std::string* error) override {
        host::ProcessScope scope(&process_);
        pinRefused_ = false;
        const std::u16string path = FilterPath(u"wave_r");
        if (path.empty()) {
            *error = "no interface for the render wave filter";
            return false;
        }
        filter_ = host::user::CreateFile(path);
        if (filter_ == INVALID_HANDLE_VALUE) {
            *error = "cannot open the render wave filter: " + Hex(host::user::LastStatus());
            filter_ = nullptr;
            return false;
        }
        WAVEFORMATEXTENSIBLE record{};
        if (!BuildWaveFormat(&record, 48000, 16, 2, 2, AnyChannelMask, FALSE, FALSE)) {
            *error = "cannot build the stream format";
            return false;
        }
        // Looped streaming first, as the engine asks; the plain interface if the pin refuses it.
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (ULONG interfaceId : {ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING),
                                  ULONG(KSINTERFACE_STANDARD_STREAMING)}) {
            pin_ = host::user::CreateFileRelative(filter_, PinName(record, interfaceId));
            if (pin_ != INVALID_HANDLE_VALUE) {
                break;
            }
            status = host::user::LastStatus();
        }
        if (pin_ == INVALID_HANDLE_VALUE) {
            pin_ = nullptr;
            pinRefused_ = true;
            *error = "pin creation failed: " + Hex(status);
            return false;
        }

        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
        request.Property = Property(
            KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, KSPROPERTY_TYPE_GET);
        request.BaseAddress = nullptr;
        request.RequestedBufferSize = 2 * framesPerPeriod * record.Format.nBlockAlign;
        request.NotificationCount = 2;
        KSRTAUDIO_BUFFER buffer{};
        status = Request(&request, sizeof(request), &buffer, sizeof(buffer));
        if (!NT_SUCCESS(status)) {
            *error = "buffer with notification failed: " + Hex(status);
            return false;
        }
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration{};
        registration.Property =
            Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT,
                     KSPROPERTY_TYPE_GET);
        registration.NotificationEvent = notifyEvent;
        status = Request(&registration, sizeof(registration), nullptr, 0);
        if (!NT_SUCCESS(status)) {
            *error = "event registration failed: " + Hex(status);
            return false;
        }
        event_ = notifyEvent;
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            status = SetState(state);
            if (!NT_SUCCESS(status)) {
                *error = "state change to " + std::to_string(state) + " failed: " + Hex(status);
                return false;
            }
        }
        return true;
    }

    NTSTATUS SetState(KSSTATE state) override {
        host::ProcessScope scope(&process_);
        const KSPROPERTY property =
            Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
        KSSTATE value = state;
        NTSTATUS status = Request(&property, sizeof(property), &value, sizeof(value));
        if (NT_SUCCESS(status)) {
            state_ = state;
        }
        return status;
    }

    bool Close(std::string* error) override {
        bool good = true;
        host::ProcessScope scope(&process_);
        if (pin_ != nullptr) {
            while (state_ != KSSTATE_STOP) {
                KSSTATE lower = static_cast<KSSTATE>(state_ - 1);
                NTSTATUS status = SetState(lower);
                if (!NT_SUCCESS(status)) {
                    *error = "state change to " + std::to_string(lower) + " failed: " + Hex(status);
                    good = false;
                    break;
                }
            }
            if (event_ != nullptr) {
                KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY registration{};
                registration.Property =
                    Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT,
                             KSPROPERTY_TYPE_GET);
                registration.NotificationEvent = event_;
                Request(&registration, sizeof(registration), nullptr, 0);
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

private:
    // The pin-create name: the pin name, a backslash, then the binary connection request with
    // the data format straight after it, carried in the name's 16-bit units.
    static std::u16string PinName(const WAVEFORMATEXTENSIBLE& record, ULONG interfaceId) {
        KSPIN_CONNECT connect{};
        connect.Interface.Set = KSINTERFACESETID_Standard;
        connect.Interface.Id = interfaceId;
        connect.Medium.Set = KSMEDIUMSETID_Standard;
        connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
        connect.PinId = StreamingPin;
        connect.PinToHandle = nullptr;
        connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
        connect.Priority.PrioritySubClass = 1;
        unsigned char format[DataFormatBlockBytes] = {};
        const ULONG formatBytes = BuildKsDataFormat(&record, format);
        std::vector<unsigned char> bytes(sizeof(connect) + formatBytes + 1, 0);
        std::memcpy(bytes.data(), &connect, sizeof(connect));
        std::memcpy(bytes.data() + sizeof(connect), format, formatBytes);
        std::u16string name = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
        for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
            name.push_back(static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8)));
        }
        return name;
    }

    NTSTATUS Request(const void* input, ULONG inputBytes, void* output, ULONG outputBytes) {
        ULONG returned = 0;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        host::user::DeviceIoControl(pin_, IOCTL_KS_PROPERTY, input, inputBytes, output, outputBytes,
                                    &returned, &status);
        return status;
    }

    host::Process& process_;
    HANDLE filter_ = nullptr;
    HANDLE pin_ = nullptr;
    HANDLE event_ = nullptr;
    KSSTATE state_ = KSSTATE_STOP;
    bool pinRefused_ = false;
};

} // namespace

std::unique_ptr<EngineSide> MakePinEngine(host::Process& engineProcess) {
    return std::make_unique<PinEngine>(engineProcess);
}

} // namespace bench
