// The subject's machine: driver image, device start, client connection and answerer, engine
// process and its notification waiter, and the measured steps of the audio path.
#include "DriverRig.h"

#include <ntddk.h>

#include <chrono>

#include "HostBackend.h"
#include "HostDriver.h"
#include "PinEngine.h"
#include "System.h"
#include "conduit/Client.h"
#include "kernel/Machine.h"
#include "kernel/Process.h"
#include "kernel/UserEvents.h"
#include "kernel/UserMode.h"
#include "transport/TransportProtocol.h"

namespace bench {

namespace {

constexpr std::uint32_t BlockAlign = 4; // 16-bit stereo

// Waits far longer than any run; a stop sets the event to end the wait early.
constexpr std::chrono::microseconds Forever = std::chrono::hours(24);

} // namespace

DriverRig::DriverRig() = default;

DriverRig::~DriverRig() {
    if (machine_ != nullptr) {
        Shutdown();
    }
}

bool DriverRig::Start(const std::string& image, std::string* error) {
    machine_ = std::make_unique<host::Machine>();
    driver_ = std::make_unique<conduit::tool::HostDriver>(*machine_);
    if (!driver_->Start(image, error)) {
        return false;
    }

    host::Processes& processes = machine_->Get<host::Processes>();
    clientProcess_ = &processes.Create("bench-client", false);
    engineProcess_ = &processes.Create("bench-engine", false);
    backend_ = std::make_unique<conduit::HostBackend>(*clientProcess_);
    // The engine's render stream is the client's Capture direction: the client reads what
    // applications play.
    conduit::Status opened =
        conduit::Connection::Open(*backend_, conduit::Direction::Capture, &connection_);
    if (!opened.ok()) {
        *error = "client connection failed: " + opened.ToString();
        return false;
    }
    conduit::DeviceFormat format;
    format.sampleRate = 48000;
    format.bitsPerSample = 16;
    format.channels = 2;
    format.containerBytes = 2;
    conduit::Status set = connection_->SetFormat(format);
    if (!set.ok()) {
        *error = "client format failed: " + set.ToString();
        return false;
    }
    answerer_ = std::thread([this] { Answerer(); });
    engine_ = std::make_unique<PinEngine>(*engineProcess_);
    return true;
}

std::string DriverRig::EnginePath() const {
    if (engine_ == nullptr) {
        return "none";
    }
    return PinEngine::Describe();
}

void DriverRig::Answerer() {
    for (;;) {
        conduit::WaitResult wait = backend_->WaitEvent(connection_->event(), Forever);
        if (stop_.load() || wait == conduit::WaitResult::Failed) {
            return;
        }
        if ((connection_->HandshakeFlags() & transport::AwaitingClient) != 0) {
            if (!connection_->Answer(0, connection_->HandshakeNumber()).ok()) {
                failures_++;
            }
        }
    }
}

bool DriverRig::OpenStream(std::uint32_t framesPerPeriod, std::string* error) {
    HANDLE notify = nullptr;
    {
        host::ProcessScope scope(engineProcess_);
        notify = host::user::CreateEvent(false, false);
    }
    if (notify == nullptr) {
        *error = "cannot create the engine's event";
        return false;
    }
    notifyEvent_ = notify;
    position_ = 0;
    connection_->WritePositions(0, 0);
    // The driver makes a buffer at least the client's latency long: ask for exactly two periods.
    conduit::Status latency = connection_->SetLatency(2 * framesPerPeriod);
    if (!latency.ok()) {
        *error = "client latency failed: " + latency.ToString();
        return false;
    }
    if (!engine_->Open(framesPerPeriod, notify, error)) {
        std::string ignored;
        CloseStream(&ignored);
        return false;
    }
    bufferFrames_ = connection_->Read().bufferFrames;
    framesPerPeriod_ = bufferFrames_ / 2;
    if (framesPerPeriod_ != framesPerPeriod) {
        *error = "the driver made periods of " + std::to_string(framesPerPeriod_) +
                 " frames, not " + std::to_string(framesPerPeriod);
        std::string ignored;
        CloseStream(&ignored);
        return false;
    }
    streamStop_ = false;
    engineWaiter_ = std::thread([this] { EngineWaiter(); });
    return true;
}

bool DriverRig::CloseStream(std::string* error) {
    if (engineWaiter_.joinable()) {
        streamStop_ = true;
        {
            host::ProcessScope scope(engineProcess_);
            host::user::SetEvent(notifyEvent_);
        }
        engineWaiter_.join();
    }
    bool good = engine_->Close(error);
    if (notifyEvent_ != nullptr) {
        host::ProcessScope scope(engineProcess_);
        host::user::CloseHandle(notifyEvent_);
        notifyEvent_ = nullptr;
    }
    sent_ = woken_.load();
    done_.Reset();
    return good;
}

void DriverRig::EngineWaiter() {
    host::ProcessScope scope(engineProcess_);
    for (;;) {
        DWORD wait = host::user::WaitForSingleObject(notifyEvent_, INFINITE);
        wokeNs_.store(timed_.load(std::memory_order_relaxed) ? NowNs() : 0,
                      std::memory_order_release);
        woken_.fetch_add(1, std::memory_order_release);
        if (streamStop_.load() || wait != WAIT_OBJECT_0) {
            return;
        }
        done_.Set();
    }
}

bool DriverRig::AdvanceAndTick(std::uint64_t* sentNs) {
    position_ += framesPerPeriod_;
    connection_->WritePositions(position_, (position_ % bufferFrames_) * BlockAlign);
    sent_++;
    if (sentNs != nullptr) {
        *sentNs = NowNs();
    }
    if (!connection_->RequestTick().ok()) {
        failures_++;
        return false;
    }
    return true;
}

double DriverRig::TickOneWay() {
    std::uint64_t sentNs = 0;
    if (!AdvanceAndTick(timed_.load(std::memory_order_relaxed) ? &sentNs : nullptr)) {
        return -1;
    }
    done_.Wait();
    return static_cast<double>(wokeNs_.load(std::memory_order_acquire) - sentNs);
}

bool DriverRig::PacedTick() {
    return AdvanceAndTick(nullptr);
}

bool DriverRig::EnsureRunning() {
    return !runNext_ || StateChange() >= 0;
}

void DriverRig::Drain() {
    const std::uint64_t giveUp = NowNs() + 100000000ull;
    while (woken_.load(std::memory_order_acquire) < sent_ && NowNs() < giveUp) {
        std::this_thread::yield();
    }
    sent_ = woken_.load(std::memory_order_acquire);
    done_.Reset();
}

double DriverRig::StateChange() {
    const KSSTATE next = runNext_ ? KSSTATE_RUN : KSSTATE_PAUSE;
    const bool timed = timed_.load(std::memory_order_relaxed);
    const std::uint64_t start = timed ? NowNs() : 0;
    NTSTATUS status = engine_->SetState(next);
    const std::uint64_t end = timed ? NowNs() : 0;
    if (!NT_SUCCESS(status)) {
        failures_++;
        return -1;
    }
    runNext_ = !runNext_;
    return static_cast<double>(end - start);
}

std::vector<std::string> DriverRig::Shutdown() {
    std::vector<std::string> findings;
    if (machine_ == nullptr) {
        return findings;
    }
    std::string error;
    if (engine_ != nullptr && !CloseStream(&error)) {
        findings.push_back("stream close: " + error);
    }
    if (answerer_.joinable()) {
        stop_ = true;
        {
            host::ProcessScope scope(clientProcess_);
            host::user::SetEvent(reinterpret_cast<HANDLE>(connection_->event()));
        }
        answerer_.join();
    }
    engine_.reset();
    if (connection_ != nullptr) {
        conduit::Status closed = connection_->Close();
        if (!closed.ok()) {
            findings.push_back("client close: " + closed.ToString());
        }
        connection_.reset();
    }
    backend_.reset();
    host::Processes& processes = machine_->Get<host::Processes>();
    for (host::Process* process : {clientProcess_, engineProcess_}) {
        if (process != nullptr) {
            processes.Exit(*process);
        }
    }
    std::vector<std::string> problems = driver_->Unload();
    findings.insert(findings.end(), problems.begin(), problems.end());
    driver_.reset();
    machine_.reset();
    return findings;
}

} // namespace bench
