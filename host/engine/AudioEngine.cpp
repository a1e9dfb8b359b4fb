// The audio engine's life cycle: open the filter, choose the pin and format, create the pin,
// allocate the buffer and register the event; walk the states up and down; close.
#include "AudioEngine.h"

#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <vector>

#include "KsRequests.h"
#include "PacketConstraints.h"
#include "PeriodMath.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace host::engine {

namespace {

#ifndef STATUS_PROCESS_IS_TERMINATING
#define STATUS_PROCESS_IS_TERMINATING ((NTSTATUS)0xC000010AL)
#endif

} // namespace

bool EnterProAudioClass() {
    // Windows's real-time band 16..31 onto the bottom of the round-robin range, as the host
    // maps the driver's system threads.
    constexpr int ProAudioPriority = 26;
    constexpr int LowRealTimePriority = 16;
    sched_param parameters{};
    parameters.sched_priority =
        sched_get_priority_min(SCHED_RR) + (ProAudioPriority - LowRealTimePriority);
    return pthread_setschedparam(pthread_self(), SCHED_RR, &parameters) == 0;
}

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
    declared_ = DeclaredPeriod();
    roundTrips_.clear();
    NTSTATUS status = OpenUnderScope(options);
    if (!NT_SUCCESS(status)) {
        CloseUnderScope();
    }
    return status;
}

NTSTATUS AudioEngine::OpenUnderScope(const EngineOptions& options) {
    options_ = options;
    mode_ = TransferMode::Position;
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
        ReadDeclaredPeriod(path);
        status = CreatePin();
    }
    if (NT_SUCCESS(status)) {
        status = AllocateBuffer();
    }
    return status;
}

void AudioEngine::ReadDeclaredPeriod(const std::u16string& path) {
    declared_ = DeclaredPeriod();
    std::vector<std::uint8_t> bytes(sizeof(KSAUDIO_PACKETSIZE_CONSTRAINTS2));
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    ULONG size = static_cast<ULONG>(bytes.size());
    NTSTATUS status = host::user::GetDeviceInterfaceProperty(
        path, DEVPKEY_KsAudio_PacketSize_Constraints2, &type, bytes.data(), &size);
    if (status == STATUS_BUFFER_TOO_SMALL) {
        bytes.resize(size);
        status = host::user::GetDeviceInterfaceProperty(
            path, DEVPKEY_KsAudio_PacketSize_Constraints2, &type, bytes.data(), &size);
    }
    PacketConstraints constraints;
    bytes.resize(NT_SUCCESS(status) ? size : 0);
    if (!NT_SUCCESS(status) || type != DEVPROP_TYPE_BINARY ||
        !ReadPacketConstraints(bytes, &constraints)) {
        return; // none usable: the engine keeps its default period
    }
    declared_.declared = true;
    declared_.minimumPeriodHns = constraints.minimumPeriodHns;
    declared_.periodFrames = SmallestPeriodFrames(constraints, format_.Format.nSamplesPerSec,
                                                  format_.Format.nBlockAlign);
}

NTSTATUS AudioEngine::RequestBuffer(bool withNotifications, ULONG requested,
                                    KSRTAUDIO_BUFFER* buffer) {
    KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION property{};
    property.Property = MakeProperty(KSPROPSETID_RtAudio,
                                     withNotifications ? KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION
                                                       : KSPROPERTY_RTAUDIO_BUFFER,
                                     KSPROPERTY_TYPE_GET);
    property.BaseAddress = nullptr;
    property.RequestedBufferSize = requested;
    property.NotificationCount = options_.notificationCount;
    const ULONG bytes = withNotifications ? sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION)
                                          : sizeof(KSRTAUDIO_BUFFER_PROPERTY);
    return TimedRequest(
        [&] { return SendProperty(pin_, &property, bytes, buffer, sizeof(*buffer)); });
}

NTSTATUS AudioEngine::AllocateBuffer() {
    const ULONG blockAlign = format_.Format.nBlockAlign;
    std::uint64_t requested = options_.requestedBufferBytes;
    if (requested == 0 && options_.lowLatency && declared_.periodFrames != 0) {
        const std::uint32_t periods = options_.withNotifications ? options_.notificationCount : 2;
        requested = std::uint64_t(declared_.periodFrames) * blockAlign * periods;
    }
    if (requested == 0) {
        requested = std::uint64_t(format_.Format.nSamplesPerSec / 100) * blockAlign;
    }
    if (requested == 0 || requested > 0xFFFFFFFFull) {
        return STATUS_INVALID_PARAMETER;
    }
    bool notified = false;
    if (options_.withNotifications) {
        BOOL supported = FALSE;
        notified =
            NT_SUCCESS(GetProperty(pin_, KSPROPSETID_RtAudio,
                                   KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, &supported)) &&
            supported != FALSE;
    }
    KSRTAUDIO_BUFFER buffer{};
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (notified) {
        status = RequestBuffer(true, static_cast<ULONG>(requested), &buffer);
        // A device that cannot cut this size into notification periods may still give a plain
        // buffer.
        notified = NT_SUCCESS(status);
    }
    if (!notified) {
        status = RequestBuffer(false, static_cast<ULONG>(requested), &buffer);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    periodCount_ = notified ? options_.notificationCount : 2;
    mode_ = notified ? options_.mode : TransferMode::Position;
    // The engine uses no buffer smaller than it asked for, none that splits a frame, and none
    // whose packets would split one between two periods.
    const std::uint64_t unit = std::uint64_t(blockAlign) * (notified ? periodCount_ : 1);
    if (buffer.BufferAddress == nullptr || buffer.ActualBufferSize < requested ||
        buffer.ActualBufferSize % unit != 0 ||
        buffer.ActualBufferSize < blockAlign * periodCount_) {
        return STATUS_INVALID_DEVICE_REQUEST;
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
    if (mode_ == TransferMode::Position && options_.usePositionRegister) {
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
    return notified ? RegisterEvent() : STATUS_SUCCESS;
}

NTSTATUS AudioEngine::RegisterEvent() {
    HANDLE event = host::user::CreateEvent(false, false);
    if (event == nullptr) {
        return host::user::LastStatus();
    }
    event_ = event;
    const NTSTATUS status = SetNotificationEvent(pin_, event_, true);
    eventRegistered_ = NT_SUCCESS(status);
    return status;
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

NTSTATUS AudioEngine::Pause() {
    return Step(KSSTATE_RUN, KSSTATE_PAUSE);
}

NTSTATUS AudioEngine::Resume() {
    return Step(KSSTATE_PAUSE, KSSTATE_RUN);
}

NTSTATUS AudioEngine::Step(KSSTATE from, KSSTATE to) {
    if (!process_.IsAlive()) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    host::ProcessScope scope(&process_);
    if (pin_ == nullptr || state_ != from) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = SetState(to);
    if (NT_SUCCESS(status) || to < from) {
        state_ = to; // a step down goes ahead even when refused
    }
    return status;
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
