// The audio engine's transfer: wait for the device to finish a period, then move every period
// it finished through the cyclic buffer, following the position or counting packets.
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "AudioEngine.h"
#include "KsRequests.h"
#include "PeriodMath.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"

namespace host::engine {

namespace {

std::uint8_t SilenceByte(const WAVEFORMATEXTENSIBLE& format) {
    return format.Format.wBitsPerSample == 8 ? 0x80 : 0x00;
}

// A lower bound on the frames a glitch loses is all the engine can know: the device may have
// lapped the buffer any number of times.
std::uint32_t PeriodsForGlitches(std::uint32_t count) {
    return std::max<std::uint32_t>(count, 2);
}

} // namespace

std::uint32_t AudioEngine::PeriodBytes(std::uint32_t period) const {
    return PeriodFrames(period, framesPerPeriod_, periodCount_, bufferFrames_) *
           format_.Format.nBlockAlign;
}

void AudioEngine::Produce(std::uint32_t firstByte, std::uint32_t bytes) {
    const std::uint32_t blockAlign = format_.Format.nBlockAlign;
    const std::uint32_t frames = bytes / blockAlign;
    std::uint8_t* at = buffer_ + firstByte;
    if (source_ != nullptr && frames != 0) {
        source_->Fill(format_, at, frames);
    } else {
        std::memset(at, SilenceByte(format_), std::size_t(frames) * blockAlign);
    }
    // A packet that is not a whole number of frames ends in silence.
    std::memset(at + std::size_t(frames) * blockAlign, SilenceByte(format_),
                bytes - frames * blockAlign);
    counters_.framesMoved += frames;
}

void AudioEngine::Consume(std::uint32_t firstByte, std::uint32_t bytes) {
    const std::uint32_t frames = bytes / format_.Format.nBlockAlign;
    if (sink_ != nullptr && frames != 0) {
        sink_->Take(format_, buffer_ + firstByte, frames);
    }
    counters_.framesMoved += frames;
}

NTSTATUS AudioEngine::ServicePeriods(std::chrono::microseconds timeout) {
    if (!process_.IsAlive()) {
        return STATUS_INVALID_DEVICE_STATE; // the exit took the pin
    }
    host::ProcessScope scope(&process_);
    if (pin_ == nullptr || state_ != KSSTATE_RUN) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    bool signalled = false;
    NTSTATUS status = WaitForPeriod(timeout, &signalled);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (mode_ == TransferMode::Position) {
        if (event_ != nullptr && !signalled) {
            // The client moves the position before the driver's tick signals the period, so a
            // position read now could take a period whose signal is still to come for a lap.
            return STATUS_TIMEOUT;
        }
        return ServicePositions(signalled);
    }
    return capture_ ? ServiceReadPackets() : ServiceWritePackets();
}

// With notifications: one wait on the event. Without: the position is polled about every
// millisecond until it enters another period or the time runs out.
NTSTATUS AudioEngine::WaitForPeriod(std::chrono::microseconds timeout, bool* signalled) {
    if (event_ != nullptr) {
        const auto milliseconds = (timeout.count() + 999) / 1000;
        const DWORD wait = host::user::WaitForSingleObject(
            event_, static_cast<DWORD>(std::min<long long>(milliseconds, INFINITE - 1)));
        if (wait == WAIT_FAILED) {
            return host::user::LastStatus();
        }
        *signalled = wait == WAIT_OBJECT_0;
        if (*signalled) {
            lastWake_ = std::chrono::steady_clock::now();
        }
        ++(*signalled ? counters_.wakeups : counters_.timeouts);
        return STATUS_SUCCESS;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::uint32_t frame = 0;
        const NTSTATUS status = ReadPosition(&frame);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (PeriodOf(frame, framesPerPeriod_, periodCount_) != cursor_) {
            lastWake_ = std::chrono::steady_clock::now();
            ++counters_.wakeups;
            return STATUS_SUCCESS;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ++counters_.timeouts;
            return STATUS_SUCCESS;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The device's position in frames within the buffer: the register when the pin gave one (it
// holds a byte position), else the pin's position property (its play offset).
NTSTATUS AudioEngine::ReadPosition(std::uint32_t* frame) {
    std::uint64_t bytes = 0;
    if (positionRegister_ != nullptr) {
        if (registerWidth_ == 64) {
            bytes = __atomic_load_n(static_cast<const volatile std::uint64_t*>(positionRegister_),
                                    __ATOMIC_ACQUIRE);
        } else {
            bytes = __atomic_load_n(static_cast<const volatile std::uint32_t*>(positionRegister_),
                                    __ATOMIC_ACQUIRE);
        }
    } else {
        KSAUDIO_POSITION position{};
        const NTSTATUS status =
            GetProperty(pin_, KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &position);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        bytes = position.PlayOffset;
    }
    *frame = static_cast<std::uint32_t>(bytes / format_.Format.nBlockAlign % bufferFrames_);
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::ServicePositions(bool signalled) {
    std::uint32_t frame = 0;
    const NTSTATUS status = ReadPosition(&frame);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::uint32_t device = PeriodOf(frame, framesPerPeriod_, periodCount_);
    std::uint32_t completed = PeriodsBetween(cursor_, device, periodCount_);
    if (completed == 0 && signalled) {
        // A period ended, yet the device is back in the period it was in: it went round the
        // whole buffer (with one period per buffer, that is just the one period).
        completed = periodCount_;
    }
    if (completed == 0) {
        return STATUS_TIMEOUT;
    }
    const std::uint64_t lost = LostPeriods(completed, PeriodsForGlitches(periodCount_));
    counters_.glitches += lost;
    // The lost periods are the oldest: their slots are already back in the device's hands.
    for (std::uint64_t i = lost; i < completed; ++i) {
        const std::uint32_t period = static_cast<std::uint32_t>((cursor_ + i) % periodCount_);
        const std::uint32_t first = period * framesPerPeriod_ * format_.Format.nBlockAlign;
        if (capture_) {
            Consume(first, PeriodBytes(period));
        } else {
            Produce(first, PeriodBytes(period));
        }
        ++counters_.periods;
    }
    cursor_ = device;
    return STATUS_SUCCESS;
}

// Render packets: the device expects packet (completed count + 1) next. Every packet from the
// last one written up to that one is written in order; those the device already passed are
// refused and counted, and the engine carries on from the count.
NTSTATUS AudioEngine::ServiceWritePackets() {
    ULONG completedPackets = 0;
    NTSTATUS status =
        GetProperty(pin_, KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT, &completedPackets);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG due = completedPackets + 1;
    const ULONG pending = due - lastWritten_; // 32-bit packet numbers wrap together
    if (pending == 0 || pending > 0x80000000u) {
        return STATUS_TIMEOUT;
    }
    counters_.glitches += LostPeriods(pending, PeriodsForGlitches(periodCount_));
    const ULONG mostLate = periodCount_;
    if (pending - 1 > mostLate) {
        // Packets older than a buffer are not even offered: their refusal is certain.
        counters_.latePackets += pending - 1 - mostLate;
        lastWritten_ = due - 1 - mostLate;
    }
    const std::uint32_t packetBytes = bufferBytes_ / periodCount_;
    bool wrote = false;
    for (ULONG packet = lastWritten_ + 1; packet != due + 1; ++packet) {
        Produce((packet % periodCount_) * packetBytes, packetBytes);
        KSPROPERTY property = MakeProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET,
                                           KSPROPERTY_TYPE_SET);
        KSRTAUDIO_SETWRITEPACKET_INFO info{packet, 0, 0};
        status = SendProperty(pin_, &property, sizeof(property), &info, sizeof(info));
        if (status == STATUS_DATA_LATE_ERROR || status == STATUS_DATA_OVERRUN) {
            ++counters_.latePackets;
        } else if (!NT_SUCCESS(status)) {
            return status;
        } else {
            ++counters_.periods;
            wrote = true;
        }
        lastWritten_ = packet;
    }
    return wrote ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

// Capture packets: every completed packet, in order, for as long as the device says more data
// is ready (an engine trusts that: told no more, it waits for the next notification). When
// more packets completed than the buffer holds, the oldest were written over before they were
// read.
NTSTATUS AudioEngine::ServiceReadPackets() {
    std::vector<ULONG> ready;
    for (;;) {
        KSPROPERTY property = MakeProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET,
                                           KSPROPERTY_TYPE_GET);
        KSRTAUDIO_GETREADPACKET_INFO info{};
        const NTSTATUS status =
            SendProperty(pin_, &property, sizeof(property), &info, sizeof(info));
        if (status == STATUS_DEVICE_NOT_READY) {
            break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const ULONG skipped = info.PacketNumber - nextRead_;
        if (skipped != 0 && skipped < 0x80000000u) {
            counters_.glitches += skipped;
        } else if (skipped != 0) {
            ++counters_.latePackets; // an old packet handed out again: its data is gone
            continue;
        }
        nextRead_ = info.PacketNumber + 1;
        ready.push_back(info.PacketNumber);
        // A device that never runs dry must not hold the engine forever either.
        if (!info.MoreData || ready.size() > 0x10000) {
            break;
        }
    }
    if (ready.empty()) {
        return STATUS_TIMEOUT;
    }
    const std::uint64_t lost = LostPeriods(ready.size(), PeriodsForGlitches(periodCount_));
    counters_.glitches += lost;
    const std::uint32_t packetBytes = bufferBytes_ / periodCount_;
    for (std::size_t i = static_cast<std::size_t>(lost); i < ready.size(); ++i) {
        Consume((ready[i] % periodCount_) * packetBytes, packetBytes);
        ++counters_.periods;
    }
    return STATUS_SUCCESS;
}

} // namespace host::engine
