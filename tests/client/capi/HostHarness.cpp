// The machine a Linux program records from: loaded before the program starts (linked in, or
// preloaded ahead of an interpreter), it builds a host machine, starts the driver, has an earlier
// client leave the device at 48 kHz, 16 bits, stereo, and runs the program's main thread in a
// user-mode process, so that the program is a client as it would be on Windows. Once a client
// connects the Capture direction (the speaker's jack is plugged in),
// the simulated audio engine, as an application would, plays a known signal into "wave_r".
// When the program ends it takes everything down under the verifier and checks the WAV file
// the program wrote: exactly the frames played, bit-exact from the first.
//
// CONDUIT_HARNESS_WAV names the file to check, CONDUIT_HARNESS_SECONDS how long a recording it
// must hold at the rate the engine negotiated. A failed check ends the program with status 1.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostDriver.h"
#include "Signal.h"
#include "Wav.h"
#include "conduit/conduit.h"
#include "engine/AudioEngine.h"
#include "engine/KsRequests.h"
#include "kernel/Machine.h"
#include "kernel/Process.h"
#include "kernel/UserMode.h"

namespace {

using conduit::tool::StatusText;

constexpr std::chrono::seconds ClientWait{30};
constexpr conduit_device_format DeviceFormat{48000, 16, 2, 2, 0};
// A second of it: a program on a real-time clock rides out the stalls of a loaded machine.
constexpr std::uint32_t BufferBytes = 48000 * 4;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

class SignalSource : public host::engine::RenderSource {
public:
    explicit SignalSource(const std::vector<std::uint8_t>& signal) : signal_(signal) {}
    // The signal, then silence.
    void Fill(const WAVEFORMATEXTENSIBLE& format, std::uint8_t* bytes,
              std::uint32_t frames) override {
        const std::size_t wanted = std::size_t(frames) * format.Format.nBlockAlign;
        const std::size_t left = signal_.size() - std::min(offset_, signal_.size());
        const std::size_t copied = std::min(left, wanted);
        std::memcpy(bytes, signal_.data() + offset_, copied);
        std::memset(bytes + copied, format.Format.wBitsPerSample == 8 ? 0x80 : 0, wanted - copied);
        offset_ += wanted;
    }

private:
    const std::vector<std::uint8_t>& signal_;
    std::size_t offset_ = 0;
};

class Harness {
public:
    Harness();
    // Takes the machine down; returns false when the run or the file failed its check.
    bool Finish();

private:
    bool SetDeviceFormat(host::Process& process);
    bool WaitForClient();
    void Play();
    bool CheckFile();
    bool Fail(const std::string& why) {
        std::fprintf(stderr, "host harness: %s\n", why.c_str());
        return false;
    }

    const std::string wavPath_ = Environment("CONDUIT_HARNESS_WAV");
    const double seconds_ = std::strtod(Environment("CONDUIT_HARNESS_SECONDS").c_str(), nullptr);
    host::Machine machine_;
    conduit::tool::HostDriver driver_{machine_};
    std::string startFailure_;
    host::Process* program_ = nullptr;
    host::Process* engineProcess_ = nullptr;
    std::unique_ptr<host::ProcessScope> programScope_;
    std::thread application_;
    std::atomic<bool> stop_{false};
    // Written by the application thread, read once it has ended.
    std::string playFailure_;
    WAVEFORMATEXTENSIBLE format_{};
    std::uint64_t frames_ = 0; // the recording's length at the negotiated rate
    std::vector<std::uint8_t> signal_;
};

Harness::Harness() {
    unsetenv("LD_PRELOAD"); // a program's children are programs of their own, without a machine
    if (!wavPath_.empty()) {
        std::remove(wavPath_.c_str()); // a file left from an earlier run proves nothing
    }
    if (!driver_.Start(std::string(), &startFailure_)) {
        return;
    }
    auto& processes = machine_.Get<host::Processes>();
    if (!SetDeviceFormat(processes.Create("earlier client", false))) {
        return;
    }
    program_ = &processes.Create("program", false);
    engineProcess_ = &processes.Create("audio engine", false);
    programScope_ = std::make_unique<host::ProcessScope>(program_);
    application_ = std::thread([this] { Play(); });
}

bool Harness::SetDeviceFormat(host::Process& process) {
    host::ProcessScope scope(&process);
    conduit_connection* connection = nullptr;
    conduit_status status = conduit_open(CONDUIT_DIRECTION_CAPTURE, nullptr, &connection);
    if (!CONDUIT_FAILED(status)) {
        status = conduit_set_format(connection, &DeviceFormat);
        const conduit_status closed = conduit_close(connection);
        status = CONDUIT_FAILED(status) ? status : closed;
    }
    if (CONDUIT_FAILED(status)) {
        startFailure_ = std::string("setting the device format: ") + conduit_last_error();
        return false;
    }
    return true;
}

// Windows plays to an endpoint only while its jack is plugged in, and the driver plugs the
// speaker's jack in when a client connects the Capture direction.
bool Harness::WaitForClient() {
    const std::u16string path = host::engine::FindFilterPath(u"topo_r");
    HANDLE filter = path.empty() ? INVALID_HANDLE_VALUE : host::user::CreateFile(path);
    if (filter == INVALID_HANDLE_VALUE) {
        playFailure_ = "the speaker's topology filter cannot be opened";
        return false;
    }
    KSP_PIN request{};
    request.Property = host::engine::MakeProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                                  KSPROPERTY_TYPE_GET);
    request.PinId = 0; // the bridge pin that carries the jack
    struct {
        KSMULTIPLE_ITEM header;
        KSJACK_DESCRIPTION jack;
    } reply{};
    const auto deadline = std::chrono::steady_clock::now() + ClientWait;
    bool connected = false;
    while (!connected && !stop_.load() && std::chrono::steady_clock::now() < deadline) {
        const NTSTATUS status =
            host::engine::SendProperty(filter, &request, sizeof(request), &reply, sizeof(reply));
        if (!NT_SUCCESS(status)) {
            playFailure_ = "the jack description was refused with " + StatusText(status);
            break;
        }
        connected = reply.jack.IsConnected != FALSE;
        if (!connected) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    host::user::CloseHandle(filter);
    if (!connected && playFailure_.empty()) {
        playFailure_ = "no client connected the Capture direction";
    }
    return connected;
}

void Harness::Play() {
    host::ProcessScope scope(engineProcess_);
    if (!WaitForClient()) {
        return;
    }
    host::engine::AudioEngine engine(*engineProcess_);
    host::engine::EngineOptions options;
    options.filterName = u"wave_r";
    options.requestedBufferBytes = BufferBytes;
    NTSTATUS status = engine.Open(options);
    if (!NT_SUCCESS(status)) {
        playFailure_ = "the engine could not open wave_r: " + StatusText(status);
        return;
    }
    format_ = engine.Format();
    frames_ = static_cast<std::uint64_t>(std::llround(seconds_ * format_.Format.nSamplesPerSec));
    const conduit::DeviceFormat signalFormat{
        format_.Format.nSamplesPerSec, format_.Samples.wValidBitsPerSample,
        format_.Format.nChannels, std::uint32_t(format_.Format.wBitsPerSample / 8),
        format_.dwChannelMask};
    signal_ = conduit::tool::GenerateSignal(signalFormat, frames_, 0);
    SignalSource source(signal_);
    engine.SetSource(&source);
    status = engine.Start();
    while (NT_SUCCESS(status) && !stop_.load()) {
        status = engine.ServicePeriods(std::chrono::milliseconds(20));
        if (status == STATUS_TIMEOUT) {
            status = STATUS_SUCCESS;
        }
    }
    // Once the client has left, the stream fails its requests: that is no fault of the run.
    if (!NT_SUCCESS(status)) {
        playFailure_ = "the engine's stream stopped with " + StatusText(status);
    }
    engine.Stop();
    engine.Close();
}

bool Harness::CheckFile() {
    wav::Reader reader;
    std::string error;
    if (!reader.Open(wavPath_, &error)) {
        return Fail(wavPath_ + ": " + error);
    }
    const wav::Format& got = reader.format();
    if (got.sampleRate != format_.Format.nSamplesPerSec ||
        got.channels != format_.Format.nChannels ||
        got.containerBits != format_.Format.wBitsPerSample ||
        got.BlockAlign() != format_.Format.nBlockAlign) {
        return Fail(wavPath_ + " holds " + wav::Describe(got) + ", not the format played");
    }
    if (reader.frames() != frames_) {
        return Fail(wavPath_ + " holds " + std::to_string(reader.frames()) + " frames, not " +
                    std::to_string(frames_));
    }
    std::vector<std::uint8_t> received(signal_.size());
    const std::uint32_t read = reader.Read(received.data(), static_cast<std::uint32_t>(frames_));
    received.resize(std::size_t(read) * format_.Format.nBlockAlign);
    const std::int64_t first =
        conduit::tool::FirstDifferentFrame(signal_, received, format_.Format.nBlockAlign);
    if (first >= 0) {
        return Fail(wavPath_ + " differs from the signal played from frame " +
                    std::to_string(first));
    }
    std::printf("host harness: %s holds the %llu frames played, bit-exact\n", wavPath_.c_str(),
                static_cast<unsigned long long>(frames_));
    return true;
}

bool Harness::Finish() {
    stop_.store(true);
    if (application_.joinable()) {
        application_.join();
    }
    programScope_.reset();
    if (program_ != nullptr) {
        // As Windows runs a process down: whatever the program left open is closed for it.
        machine_.Get<host::Processes>().Exit(*program_);
        machine_.Get<host::Processes>().Exit(*engineProcess_);
    }
    std::vector<std::string> problems = driver_.Unload();
    if (problems.empty()) {
        problems = machine_.Verify();
    }
    bool passed = startFailure_.empty() || Fail("the driver did not start: " + startFailure_);
    for (const std::string& problem : problems) {
        passed = Fail("verifier: " + problem);
    }
    if (passed && !wavPath_.empty() && !CheckFile()) {
        passed = false;
        if (!playFailure_.empty()) {
            Fail("while playing: " + playFailure_);
        }
    }
    return passed;
}

Harness* harness = nullptr;

__attribute__((constructor)) void StartHarness() {
    harness = new Harness();
}

__attribute__((destructor)) void FinishHarness() {
    const bool passed = harness->Finish();
    delete harness;
    harness = nullptr;
    std::fflush(stdout);
    if (!passed) {
        _exit(1);
    }
}

} // namespace
