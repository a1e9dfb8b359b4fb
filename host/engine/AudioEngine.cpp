// The audio engine's life cycle: open the filter, choose the pin and format, create the pin,
// allocate the buffer and register the event; walk the states up and down; close.
#include "AudioEngine.h"

#include <cstring>
#include <vector>

#include "KsRequests.h"
#include "PeriodMath.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace host::engine {

namespace {

#ifndef STATUS_PROCESS_IS_TERMINATING
#define STATUS_PROCESS_IS_TERMINATING ((NTSTATUS)0xC000010AL)
#endif

// Room for any data-format block the device returns: header and extensible record, with slack.
const ULONG FormatBlockCapacity = 256;

// Whether any of a pin's ranges (a KSMULTIPLE_ITEM) is audio.
bool HasAudioRange(const std::vector<std::uint8_t>& list, ULONG returned) {
    KSMULTIPLE_ITEM header;
    if (returned < sizeof(header)) {
        return false;
    }
    std::memcpy(&header, list.data(), sizeof(header));
    const ULONG end = header.Size < returned ? header.Size : returned;
    ULONG offset = sizeof(header);
    for (ULONG i = 0; i < header.Count; ++i) {
        offset = (offset + 7) & ~7u;
        KSDATARANGE range;
        if (offset > end || end - offset < sizeof(range)) {
            return false;
        }
        std::memcpy(&range, list.data() + offset, sizeof(range));
        if (IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
            IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_WILDCARD)) {
            return true;
        }
        if (range.FormatSize < sizeof(range)) {
            return false;
        }
        offset += range.FormatSize;
    }
    return false;
}

} // namespace

AudioEngine::AudioEngine(host::Process& process) : process_(process) {}

AudioEngine::~AudioEngine() {
    Close();
}

NTSTATUS AudioEngine::Open(const EngineOptions& options) {
    if (!process_.IsAlive()) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    host::ProcessScope scope(&process_);
    if (filter_ != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    counters_ = EngineCounters();
    roundTrips_.clear();
    NTSTATUS status = OpenUnderScope(options);
    if (!NT_SUCCESS(status)) {
        CloseUnderScope();
    }
    return status;
}

NTSTATUS AudioEngine::OpenUnderScope(const EngineOptions& options) {
    options_ = options;
    if (options.mode == TransferMode::Packet && !options.withNotifications) {
        return STATUS_NOT_SUPPORTED; // packets are notification periods
    }
    if (options.withNotifications && options.notificationCount != 1 &&
        options.notificationCount != 2) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string path = FindFilterPath(options.filterName);
    if (path.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    HANDLE filter = host::user::CreateFile(path);
    if (filter == INVALID_HANDLE_VALUE) {
        return host::user::LastStatus();
    }
    filter_ = filter;
    NTSTATUS status = FindStreamingPin();
    if (NT_SUCCESS(status)) {
        status = NegotiateFormat();
    }
    if (NT_SUCCESS(status)) {
        status = CreatePin();
    }
    if (NT_SUCCESS(status)) {
        status = AllocateBuffer();
    }
    return status;
}

// The streaming pin is the sink pin with an audio range; its data flow gives the direction.
NTSTATUS AudioEngine::FindStreamingPin() {
    ULONG pins = 0;
    NTSTATUS status = GetProperty(filter_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG pin = 0; pin < pins; ++pin) {
        ULONG communication = 0;
        ULONG flow = 0;
        if (!NT_SUCCESS(GetPinProperty(filter_, pin, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                       sizeof(communication))) ||
            (communication != KSPIN_COMMUNICATION_SINK &&
             communication != KSPIN_COMMUNICATION_BOTH) ||
            !NT_SUCCESS(
                GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof(flow)))) {
            continue;
        }
        ULONG needed = 0;
        GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &needed);
        if (needed < sizeof(KSMULTIPLE_ITEM)) {
            continue;
        }
        std::vector<std::uint8_t> ranges(needed);
        ULONG returned = 0;
        if (!NT_SUCCESS(GetPinProperty(filter_, pin, KSPROPERTY_PIN_DATARANGES, ranges.data(),
                                       needed, &returned)) ||
            !HasAudioRange(ranges, returned)) {
            continue;
        }
        pinId_ = pin;
        // Data flowing into the filter's sink pin is played: the engine renders.
        capture_ = flow == KSPIN_DATAFLOW_OUT;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

// The intersection gives a format the pin accepts; the device's proposed format, when it has
// one, is the format it runs in and wins.
NTSTATUS AudioEngine::NegotiateFormat() {
    const std::vector<std::uint8_t> request = IntersectionRequest(pinId_, {OpenPcmRange()});
    std::vector<std::uint8_t> block(FormatBlockCapacity);
    ULONG returned = 0;
    NTSTATUS status = SendProperty(filter_, request.data(), static_cast<ULONG>(request.size()),
                                   block.data(), FormatBlockCapacity, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WAVEFORMATEXTENSIBLE format;
    status = ReadWaveFormat(block.data(), returned, &format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<std::uint8_t> proposed(FormatBlockCapacity);
    returned = 0;
    if (NT_SUCCESS(GetPinProperty(filter_, pinId_, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
                                  proposed.data(), FormatBlockCapacity, &returned))) {
        WAVEFORMATEXTENSIBLE preferred;
        if (NT_SUCCESS(ReadWaveFormat(proposed.data(), returned, &preferred))) {
            format = preferred;
        }
    }
    format_ = format;
    return STATUS_SUCCESS;
}

// A cyclic buffer is looped streaming; a pin that lists no interfaces may offer only the plain
// standard one, and says so with STATUS_NO_MATCH.
NTSTATUS AudioEngine::CreatePin() {
    NTSTATUS status = STATUS_NO_MATCH;
    for (ULONG interfaceId :
         {ULONG(KSINTERFACE_STANDARD_LOOPED_STREAMING), ULONG(KSINTERFACE_STANDARD_STREAMING)}) {
        HANDLE pin =
            host::user::CreateFileRelative(filter_, PinCreateName(pinId_, format_, interfaceId));
        if (pin != INVALID_HANDLE_VALUE) {
            pin_ = pin;
            return STATUS_SUCCESS;
        }
        status = host::user::LastStatus();
        if (status != STATUS_NO_MATCH) {
            break;
        }
    }
    return status;
}

NTSTATUS AudioEngine::AllocateBuffer() {
    const ULONG blockAlign = format_.Format.nBlockAlign;
    periodCount_ = options_.withNotifications ? options_.notificationCount : 2;
    std::uint64_t requested = options_.requestedBufferBytes;
    if (requested == 0) {
        requested = std::uint64_t(format_.Format.nSamplesPerSec / 100) * blockAlign;
    }
    // Whole frames, a whole number of them per period.
    const std::uint64_t unit = std::uint64_t(blockAlign) * periodCount_;
    requested = (requested + unit - 1) / unit * unit;
    if (requested == 0) {
        requested = unit;
    }
    if (requested > 0xFFFFFFFFull) {
        return STATUS_INVALID_PARAMETER;
    }
    KSRTAUDIO_BUFFER buffer{};
    NTSTATUS status;
    if (options_.withNotifications) {
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION property{};
        property.Property = MakeProperty(
            KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, KSPROPERTY_TYPE_GET);
        property.BaseAddress = nullptr;
        property.RequestedBufferSize = static_cast<ULONG>(requested);
        property.NotificationCount = periodCount_;
        status = TimedRequest([&] {
            return SendProperty(pin_, &property, sizeof(property), &buffer, sizeof(buffer));
        });
    } else {
        KSRTAUDIO_BUFFER_PROPERTY property{};
        property.Property =
            MakeProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, KSPROPERTY_TYPE_GET);
        property.BaseAddress = nullptr;
        property.RequestedBufferSize = static_cast<ULONG>(requested);
        status = TimedRequest([&] {
            return SendProperty(pin_, &property, sizeof(property), &buffer, sizeof(buffer));
        });
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (buffer.BufferAddress == nullptr || buffer.ActualBufferSize < blockAlign * periodCount_) {
        return STATUS_INVALID_DEVICE_REQUEST; // a buffer the engine cannot divide into periods
    }
    buffer_ = static_cast<std::uint8_t*>(buffer.BufferAddress);
    bufferBytes_ = buffer.ActualBufferSize;
    bufferFrames_ = bufferBytes_ / blockAlign;
    framesPerPeriod_ = bufferFrames_ / periodCount_;

    // Optional facts: a device without them still streams.
    KSRTAUDIO_HWLATENCY latency{};
    if (NT_SUCCESS(
            GetProperty(pin_, KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, &latency))) {
        latency_ = latency;
    }
    if (options_.mode == TransferMode::Position && options_.usePositionRegister) {
        KSRTAUDIO_HWREGISTER_PROPERTY property{};
        property.Property = MakeProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER,
                                         KSPROPERTY_TYPE_GET);
        KSRTAUDIO_HWREGISTER answer{};
        if (NT_SUCCESS(SendProperty(pin_, &property, sizeof(property), &answer, sizeof(answer))) &&
            answer.Register != nullptr && (answer.Width == 32 || answer.Width == 64)) {
            positionRegister_ = answer.Register;
            registerWidth_ = answer.Width;
        }
    }

    if (!options_.withNotifications) {
        return STATUS_SUCCESS;
    }
    HANDLE event = host::user::CreateEvent(false, false);
    if (event == nullptr) {
        return host::user::LastStatus();
    }
    event_ = event;
    status = SetNotificationEvent(pin_, event_, true);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    eventRegistered_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::SetState(KSSTATE state) {
    KSPROPERTY property =
        MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    KSSTATE value = state;
    return TimedRequest(
        [&] { return SendProperty(pin_, &property, sizeof(property), &value, sizeof(value)); });
}

template <class Request>
NTSTATUS AudioEngine::TimedRequest(Request request) {
    const auto begin = std::chrono::steady_clock::now();
    const NTSTATUS status = request();
    roundTrips_.push_back(std::chrono::steady_clock::now() - begin);
    return status;
}

NTSTATUS AudioEngine::StepDownFrom(KSSTATE reached) {
    NTSTATUS first = STATUS_SUCCESS;
    for (int state = static_cast<int>(reached) - 1; state >= KSSTATE_STOP; --state) {
        const NTSTATUS status = SetState(static_cast<KSSTATE>(state));
        if (!NT_SUCCESS(status) && NT_SUCCESS(first)) {
            first = status;
        }
        // A refused step down leaves nothing to hold on to: the next step is still tried.
        state_ = static_cast<KSSTATE>(state);
    }
    return first;
}

NTSTATUS AudioEngine::Start() {
    if (!process_.IsAlive()) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    host::ProcessScope scope(&process_);
    if (pin_ == nullptr || buffer_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (state_ != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The device's counters restart at stop, so the engine's restart with them.
    cursor_ = 0;
    nextRead_ = 0;
    lastWritten_ = periodCount_ - 1;
    if (!capture_) {
        // The whole buffer holds audio before the device reads its first frame.
        Produce(0, bufferBytes_);
        counters_.periods += periodCount_;
    }
    for (KSSTATE next : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        const NTSTATUS status = SetState(next);
        if (!NT_SUCCESS(status)) {
            StepDownFrom(state_);
            return status;
        }
        state_ = next;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::Stop() {
    if (!process_.IsAlive()) {
        // The exit closed the pin, and the port stopped the stream with it.
        state_ = KSSTATE_STOP;
        return STATUS_SUCCESS;
    }
    host::ProcessScope scope(&process_);
    if (pin_ == nullptr) {
        return STATUS_SUCCESS;
    }
    return StepDownFrom(state_);
}

void AudioEngine::Close() {
    host::ProcessScope scope(process_.IsAlive() ? &process_ : nullptr);
    CloseUnderScope();
}

void AudioEngine::CloseUnderScope() {
    // After the process's exit its handles are closed already: there is nothing to send.
    const bool alive = process_.IsAlive();
    if (alive && pin_ != nullptr) {
        StepDownFrom(state_);
        if (eventRegistered_) {
            // Closing the pin drops the registration anyway; the result changes nothing here.
            SetNotificationEvent(pin_, event_, false);
        }
        // The port frees the buffer and the register views with the pin.
        host::user::CloseHandle(pin_);
    }
    if (alive && filter_ != nullptr) {
        host::user::CloseHandle(filter_);
    }
    if (alive && event_ != nullptr) {
        host::user::CloseHandle(event_);
    }
    pin_ = nullptr;
    filter_ = nullptr;
    event_ = nullptr;
    eventRegistered_ = false;
    buffer_ = nullptr;
    bufferBytes_ = 0;
    bufferFrames_ = 0;
    framesPerPeriod_ = 0;
    periodCount_ = 0;
    positionRegister_ = nullptr;
    registerWidth_ = 0;
    state_ = KSSTATE_STOP;
}

} // namespace host::engine
