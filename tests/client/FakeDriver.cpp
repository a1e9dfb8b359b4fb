// The fake driver's request handling, handshake and tick.
#include "FakeDriver.h"

#include <cstring>

namespace conduit::testing {

namespace {
constexpr Handle FileHandle = 0x40;
constexpr Handle EventHandle = 0x44;
constexpr std::int32_t DeviceNotReady = static_cast<std::int32_t>(0xC00000A3);
} // namespace

FakeDriver::FakeDriver() : data(transport::DataBufferSize, 0) {
    block.DataBufferBytes = transport::DataBufferSize;
}

void FakeDriver::WriteFormat(std::uint16_t channels, std::uint16_t containerBits,
                             std::uint32_t rate) {
    std::uint8_t format[40] = {};
    auto put16 = [&](int at, std::uint16_t v) { std::memcpy(format + at, &v, 2); };
    auto put32 = [&](int at, std::uint32_t v) { std::memcpy(format + at, &v, 4); };
    const std::uint16_t blockAlign = static_cast<std::uint16_t>(channels * containerBits / 8);
    put16(0, 0xFFFE);
    put16(2, channels);
    put32(4, rate);
    put32(8, rate * blockAlign);
    put16(12, blockAlign);
    put16(14, containerBits);
    put16(16, 22);
    put16(18, containerBits);
    put32(20, (1u << channels) - 1);
    std::memcpy(block.StreamFormat, format, 40);
}

void FakeDriver::RunStream(std::uint16_t channels, std::uint16_t containerBits,
                           std::uint32_t sampleRate, std::uint32_t bufferFrames) {
    block.StreamOpen = 1;
    WriteFormat(channels, containerBits, sampleRate);
    block.BufferFrames = bufferFrames;
    block.StreamState = 3;
}

void FakeDriver::BeginHandshake() {
    block.HandshakeFlags |= transport::AwaitingClient | transport::HandshakeActive;
    block.ClientStatus = static_cast<std::int32_t>(0xC0000001);
    ++block.HandshakeNumber;
    signalled = true;
    handshakeOpen = true;
    answeredInTime = false;
    handshakeStart = now;
}

std::int32_t FakeDriver::EndHandshake() {
    std::int32_t result = DeviceNotReady;
    if (answeredInTime) {
        block.HandshakeFlags &= ~transport::AwaitingClient;
        result = block.ClientStatus;
    }
    block.HandshakeFlags &= ~transport::HandshakeActive;
    handshakeOpen = false;
    lastHandshakeResult = result;
    return result;
}

void FakeDriver::RunWorker() {
    tickPending = false;
    const std::uint32_t frames = block.BufferFrames;
    if (block.StreamState != 3 || frames == 0) {
        return;
    }
    const std::uint32_t previous = lastClientFrame;
    const std::uint32_t current = block.ClientPosition % frames;
    lastClientFrame = current;
    block.DriverPosition = current;
    const std::uint32_t period = frames / notificationCount;
    if (period != 0 && previous / period != current / period) {
        ++completedPackets;
    }
    block.AheadFrames = frames; // the position and the client coincide after a tick
}

Status FakeDriver::OpenFile(const std::u16string&, Handle* file) {
    if (openStatus < 0) {
        return Status(openStatus, "refused");
    }
    ++openFiles;
    *file = FileHandle;
    block.ClientDataAddress = reinterpret_cast<std::uintptr_t>(data.data());
    return Status::Ok();
}

Status FakeDriver::DeviceControl(Handle file, std::uint32_t code, const void* input,
                                 std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                                 std::uint32_t* returned) {
    *returned = 0;
    if (file != FileHandle) {
        return Status(static_cast<std::int32_t>(0xC0000008), "bad handle");
    }
    const auto* bytes = static_cast<const std::uint8_t*>(input);
    requests.push_back({code, std::vector<std::uint8_t>(bytes, bytes + inputBytes)});
    std::uint32_t value = 0;
    if (inputBytes >= 8) {
        std::memcpy(&value, bytes + 4, 4);
    }
    switch (code) {
    case transport::IoctlGetControlBlock: {
        const std::uint64_t address = reinterpret_cast<std::uintptr_t>(&block);
        const std::uint32_t width = is32Bit ? 4 : 8;
        if (outputBytes < width) {
            return Status(static_cast<std::int32_t>(0xC0000023), "too small");
        }
        std::memcpy(output, &address, width);
        *returned = width;
        return Status::Ok();
    }
    case transport::IoctlSetEvent:
        block.ClientConnected = 1;
        return Status::Ok();
    case transport::IoctlReportStatus:
        block.ClientStatus = static_cast<std::int32_t>(value);
        if (static_cast<std::int32_t>(value) == transport::StatusTransportTick) {
            ++tickRequests;
            tickPending = true;
            if (workerRunsAtOnce) {
                RunWorker();
            }
        } else {
            answers.push_back(static_cast<std::int32_t>(value));
            // The numbered form names its handshake; the driver takes it for that one only.
            std::uint32_t number = 0;
            if (inputBytes >= 12) {
                std::memcpy(&number, bytes + 8, 4);
            }
            answerNumbers.push_back(number);
            if (handshakeOpen && (inputBytes < 12 || number == block.HandshakeNumber) &&
                now - handshakeStart <= std::chrono::seconds(1)) {
                answeredInTime = true;
                if (!deferHandshakeEnd) {
                    EndHandshake();
                }
            }
        }
        return Status::Ok();
    default:
        return Status::Ok();
    }
}

Status FakeDriver::CloseFile(Handle file) {
    if (file != FileHandle || openFiles == 0) {
        return Status(static_cast<std::int32_t>(0xC0000008), "bad handle");
    }
    --openFiles;
    block.ClientConnected = 0;
    block.ClientDataAddress = 0;
    return Status::Ok();
}

Status FakeDriver::CreateEvent(Handle* event) {
    ++openEvents;
    *event = EventHandle;
    return Status::Ok();
}

WaitResult FakeDriver::WaitEvent(Handle event, std::chrono::microseconds timeout) {
    if (event != EventHandle) {
        return WaitResult::Failed;
    }
    if (signalled) {
        signalled = false;
        return WaitResult::Signalled;
    }
    Pass(timeout);
    return WaitResult::TimedOut;
}

void FakeDriver::Pass(std::chrono::microseconds duration) {
    now += duration;
    if (handshakeOpen && !answeredInTime && now - handshakeStart > std::chrono::seconds(1)) {
        EndHandshake();
    }
}

Status FakeDriver::CloseEvent(Handle event) {
    if (event != EventHandle || openEvents == 0) {
        return Status(static_cast<std::int32_t>(0xC0000008), "bad handle");
    }
    --openEvents;
    return Status::Ok();
}

} // namespace conduit::testing
