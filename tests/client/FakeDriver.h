// A stand-in for the driver behind the client's Backend: a control block and data buffer in
// test memory, the request handling a client sees, the handshake with its one-second deadline
// and the worker's tick, all on a virtual clock, so client tests never wait for real time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Backend.h"
#include "TransportProtocol.h"

namespace conduit::testing {

class FakeDriver : public Backend {
public:
    FakeDriver();

    // What the client sent.
    struct Request {
        std::uint32_t code;
        std::vector<std::uint8_t> input;
    };
    std::vector<Request> requests;
    std::vector<std::int32_t> answers;        // report-status values other than the tick
    std::vector<std::uint32_t> answerNumbers; // the handshake each named (0: the plain form)
    std::uint32_t tickRequests = 0;

    // Behaviour knobs.
    std::vector<std::u16string> interfaces{u"\\\\?\\ROOT#MEDIA#0000#{fake}"};
    std::int32_t openStatus = 0;
    bool is32Bit = false;
    // Run a worker tick for every tick request (true) or only when the test calls RunWorker.
    bool workerRunsAtOnce = true;
    std::uint32_t notificationCount = 2;

    alignas(8) transport::TransportControlBlock block{};
    std::vector<std::uint8_t> data;
    int openFiles = 0;
    int openEvents = 0;

    // The stream side: a running stream with an extensible format and a buffer.
    void RunStream(std::uint16_t channels, std::uint16_t containerBits, std::uint32_t sampleRate,
                   std::uint32_t bufferFrames);
    void WriteFormat(std::uint16_t channels, std::uint16_t containerBits, std::uint32_t rate);

    // Starts a handshake as the driver does: flags, ClientStatus, the event.
    void BeginHandshake();
    // Ends it the way the driver's wait would: the answer if it came within one second of the
    // start, else STATUS_DEVICE_NOT_READY; HandshakeActive is cleared.
    std::int32_t EndHandshake();
    // Keep HandshakeActive set after an answer until EndHandshake (the driver has not yet read
    // the answer). Otherwise an in-time answer ends the handshake at once.
    bool deferHandshakeEnd = false;
    bool handshakeOpen = false;
    std::int32_t lastHandshakeResult = 0;

    // One run of the worker's tick, as the driver's stream computes it.
    void RunWorker();
    bool tickPending = false;
    std::uint32_t completedPackets = 0;
    std::uint32_t lastClientFrame = 0;

    std::chrono::microseconds now{1000000};

    // Backend.
    std::vector<std::u16string> InterfacePaths() override { return interfaces; }
    Status OpenFile(const std::u16string& path, Handle* file) override;
    Status DeviceControl(Handle file, std::uint32_t code, const void* input,
                         std::uint32_t inputBytes, void* output, std::uint32_t outputBytes,
                         std::uint32_t* returned) override;
    Status CloseFile(Handle file) override;
    Status CreateEvent(Handle* event) override;
    WaitResult WaitEvent(Handle event, std::chrono::microseconds timeout) override;
    Status CloseEvent(Handle event) override;
    bool Is32Bit() override { return is32Bit; }
    std::chrono::microseconds Now() override { return now; }
    void Sleep(std::chrono::microseconds duration) override { Pass(duration); }

private:
    // Virtual time passes; a handshake whose second is over ends unanswered.
    void Pass(std::chrono::microseconds duration);
    bool signalled = false;
    std::chrono::microseconds handshakeStart{0};
    bool answeredInTime = false;
};

} // namespace conduit::testing
