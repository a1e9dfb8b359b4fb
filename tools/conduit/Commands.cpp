// The commands' loops: connect, step the sessions until asked to stop, print progress once a
// second, then close cleanly (the last step still answers a handshake that came in meanwhile).
#include "Commands.h"

#include <cstring>
#include <memory>
#include <vector>

#include "Frames.h"
#include "Wav.h"
#include "conduit/Client.h"

namespace commands {

namespace {

using conduit::Connection;
using conduit::Direction;
using conduit::StreamView;
using std::chrono::microseconds;

constexpr microseconds ProgressInterval{std::chrono::seconds(1)};
constexpr std::int32_t DeviceBusy = static_cast<std::int32_t>(0x80000011);

const char* StateName(conduit::StreamState state) {
    switch (state) {
    case conduit::StreamState::Stop:
        return "stop";
    case conduit::StreamState::Acquire:
        return "acquire";
    case conduit::StreamState::Pause:
        return "pause";
    case conduit::StreamState::Run:
        return "run";
    default:
        return "unknown";
    }
}

std::string DeviceFormatText(const conduit::DeviceFormat& format) {
    if (format.sampleRate == 0) {
        return "not set since the device started (the driver's default)";
    }
    std::string text = std::to_string(format.sampleRate) + " Hz, " +
                       std::to_string(format.bitsPerSample) + " bits";
    if (format.bitsPerSample != format.containerBytes * 8) {
        text += " in " + std::to_string(format.containerBytes * 8);
    }
    return text + ", " + std::to_string(format.channels) +
           (format.channels == 1 ? " channel" : " channels");
}

std::string StreamText(const StreamView& view) {
    if (!view.streamOpen) {
        return "no stream";
    }
    std::string text = std::string("stream ") + StateName(view.state);
    if (view.hasFormat) {
        text += ", " + wav::Describe(frames::FromStream(view.format));
    }
    if (view.bufferFrames != 0) {
        text += ", buffer " + std::to_string(view.bufferFrames) + " frames";
    }
    return text;
}

std::string Seconds(microseconds elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%6.1f s", double(elapsed.count()) / 1e6);
    return text;
}

bool Connect(Environment& environment, Direction direction,
             std::unique_ptr<Connection>* connection) {
    const conduit::Status status = Connection::Open(environment.backend, direction, connection);
    if (!status.ok()) {
        std::fprintf(environment.err, "conduit: %s\n", status.ToString().c_str());
        return false;
    }
    const StreamView view = (*connection)->Read();
    std::fprintf(environment.out, "%s: connected; device format %s; %s\n",
                 conduit::DirectionName(direction), DeviceFormatText(view.deviceFormat).c_str(),
                 StreamText(view).c_str());
    return true;
}

// One session of a command, with what its progress line needs.
struct Runner {
    Connection& connection;
    conduit::Session session;
    conduit::SessionStats reported; // at the last progress line
    std::string lastProblem;

    Runner(Connection& c, conduit::Clock& clock, conduit::HandshakePolicy& policy,
           conduit::SessionOptions options)
        : connection(c), session(c, clock, policy, options) {}

    std::string Progress() {
        const conduit::SessionStats& stats = session.stats();
        std::string text = std::string(conduit::DirectionName(connection.direction())) + ": " +
                           StreamText(connection.Read()) + "; frames " +
                           std::to_string(stats.framesMoved) + ", handshakes " +
                           std::to_string(stats.handshakes);
        if (stats.lateAnswers != reported.lateAnswers) {
            text += " (" + std::to_string(stats.lateAnswers) + " answered late)";
        }
        if (stats.framesDropped != 0) {
            text += ", " + std::to_string(stats.framesDropped) + " frames behind";
        }
        if (stats.lastInconsistency != lastProblem) {
            lastProblem = stats.lastInconsistency;
            text += "\n    the driver's shared block: " + lastProblem;
        }
        reported = stats;
        return text;
    }
};

// Steps every runner in turn until stop (or until a step fails or `check` says to end), with a
// progress line each second. The waits stay short so that neither direction's handshakes wait
// on the other's sleep. Returns false when a step failed.
template <typename Check>
bool Loop(Environment& environment, Runner* const* runners, std::size_t count, Check check) {
    conduit::Backend& backend = environment.backend;
    const microseconds start = backend.Now();
    microseconds next = start + ProgressInterval;
    bool good = true;
    while (good && !environment.stop.load()) {
        for (std::size_t i = 0; i < count && good; ++i) {
            const conduit::Status status = runners[i]->session.Step();
            if (!status.ok()) {
                std::fprintf(environment.err, "conduit: %s\n", status.ToString().c_str());
                good = false;
            }
        }
        const microseconds now = backend.Now();
        if (good && now >= next) {
            for (std::size_t i = 0; i < count; ++i) {
                std::fprintf(environment.out, "%s  %s\n", Seconds(now - start).c_str(),
                             runners[i]->Progress().c_str());
            }
            std::fflush(environment.out);
            next += ProgressInterval;
            if (next <= now) {
                next = now + ProgressInterval;
            }
        }
        if (good && !check()) {
            break;
        }
    }
    if (good) {
        // A handshake signalled during the last step's work is answered before the close.
        for (std::size_t i = 0; i < count && good; ++i) {
            good = runners[i]->session.Step().ok();
        }
    }
    return good;
}

conduit::SessionOptions ShortWaits() {
    conduit::SessionOptions options;
    options.idleWait = std::chrono::milliseconds(5);
    options.runWait = std::chrono::milliseconds(2);
    return options;
}

int Close(Environment& environment, std::unique_ptr<Connection>& connection) {
    const conduit::Status status = connection->Close();
    if (!status.ok()) {
        std::fprintf(environment.err, "conduit: %s\n", status.ToString().c_str());
        return 1;
    }
    return 0;
}

} // namespace

CommandLine Parse(int argc, const char* const* argv) {
    CommandLine line;
    if (argc < 2) {
        line.error = "no command given";
        return line;
    }
    const std::string command = argv[1];
    const int extra = argc - 2;
    if (command == "--help" || command == "-h" || command == "help") {
        line.command = Command::Help;
        return line;
    }
    struct Known {
        const char* name;
        Command command;
        bool takesFile;
    };
    const Known known[] = {{"record", Command::Record, true},
                           {"play", Command::Play, true},
                           {"loopback", Command::Loopback, false},
                           {"status", Command::Status, false}};
    for (const Known& k : known) {
        if (command != k.name) {
            continue;
        }
        if (k.takesFile && extra != 1) {
            line.error = command + " needs exactly one FILE.wav";
        } else if (!k.takesFile && extra != 0) {
            line.error = command + " takes no arguments";
        } else {
            line.command = k.command;
            if (k.takesFile) {
                line.file = argv[2];
            }
        }
        return line;
    }
    line.error = "unknown command '" + command + "'";
    return line;
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to, "Usage: conduit COMMAND\n"
                     "\n"
                     "Moves sound through the Conduit virtual device. Its speaker is what\n"
                     "applications play; its microphone is what they record.\n"
                     "\n"
                     "Commands:\n"
                     "  record FILE.wav   write what applications play into FILE.wav, in the\n"
                     "                    format of their stream\n"
                     "  play FILE.wav     set the device format from FILE.wav and stream its\n"
                     "                    frames into the microphone; silence after the end\n"
                     "  loopback          what applications play comes back as the microphone\n"
                     "  status            each direction: connected client, device format,\n"
                     "                    latency and stream state\n"
                     "  help, --help, -h  show this text\n"
                     "\n"
                     "record, play and loopback run until Ctrl-C. Exit status: 0 done, 1 failed,\n"
                     "2 wrong usage.\n");
}

int Record(Environment& environment, const std::string& path) {
    std::unique_ptr<Connection> connection;
    if (!Connect(environment, Direction::Capture, &connection)) {
        return 1;
    }
    frames::Recorder recorder(path);
    conduit::HandshakePolicy policy;
    Runner runner(*connection, environment.clock, policy, ShortWaits());
    runner.session.SetSink(&recorder);
    Runner* runners[] = {&runner};
    std::fprintf(environment.out, "recording into %s until Ctrl-C\n", path.c_str());
    microseconds nextFlush = environment.backend.Now() + ProgressInterval;
    const bool stepped = Loop(environment, runners, 1, [&] {
        if (!recorder.error().empty()) {
            return false;
        }
        // Each second's frames reach the file's header, so an interrupted run leaves a
        // readable file.
        if (environment.backend.Now() >= nextFlush) {
            recorder.Flush();
            nextFlush = environment.backend.Now() + ProgressInterval;
        }
        return true;
    });
    const bool closed = recorder.Close();
    int result = Close(environment, connection);
    if (!recorder.error().empty()) {
        std::fprintf(environment.err, "conduit: %s\n", recorder.error().c_str());
    }
    if (recorder.started() && recorder.error().empty()) {
        std::fprintf(environment.out, "%s: %llu frames, %s\n", path.c_str(),
                     static_cast<unsigned long long>(recorder.framesWritten()),
                     wav::Describe(recorder.fileFormat()).c_str());
    } else if (!recorder.started()) {
        std::fprintf(environment.out, "no frames arrived: %s was not created\n", path.c_str());
    }
    if (recorder.framesSkipped() != 0) {
        std::fprintf(environment.out,
                     "%llu frames not written (another sample rate, or after a failure)\n",
                     static_cast<unsigned long long>(recorder.framesSkipped()));
    }
    return stepped && closed && result == 0 ? 0 : 1;
}

int Play(Environment& environment, const std::string& path) {
    wav::Reader reader;
    std::string error;
    if (!reader.Open(path, &error)) {
        std::fprintf(environment.err, "conduit: %s\n", error.c_str());
        return 1;
    }
    const wav::Format& file = reader.format();
    std::fprintf(environment.out, "%s: %s, %llu frames\n", path.c_str(),
                 wav::Describe(file).c_str(), static_cast<unsigned long long>(reader.frames()));
    std::unique_ptr<Connection> connection;
    if (!Connect(environment, Direction::Render, &connection)) {
        return 1;
    }
    // The device has no float format: float files play from 32-bit integer devices.
    conduit::DeviceFormat device;
    device.sampleRate = file.sampleRate;
    device.bitsPerSample = file.validBits;
    device.channels = file.channels;
    device.containerBytes = file.containerBits / 8u;
    device.channelMask = file.channelMask;
    const conduit::Status set = connection->SetFormat(device);
    if (!set.ok()) {
        std::fprintf(environment.err, "conduit: %s\n", set.ToString().c_str());
        Close(environment, connection);
        return 1;
    }
    if (connection->Read().streamOpen) {
        std::fprintf(environment.out,
                     "a stream is open: the device takes the file's format when the next "
                     "stream is created; until then frames are converted\n");
    }
    frames::Player player(reader);
    conduit::HandshakePolicy policy;
    Runner runner(*connection, environment.clock, policy, ShortWaits());
    runner.session.SetSource(&player);
    Runner* runners[] = {&runner};
    std::fprintf(environment.out, "playing into the microphone until Ctrl-C\n");
    bool toldEnd = false;
    bool toldRate = false;
    const bool stepped = Loop(environment, runners, 1, [&] {
        if (player.rateDiffers() && !toldRate) {
            toldRate = true;
            std::fprintf(environment.out,
                         "the stream runs at another rate than the file: it plays at the "
                         "wrong speed\n");
        }
        if (player.finished() && !toldEnd) {
            toldEnd = true;
            if (!reader.error().empty()) {
                std::fprintf(environment.err, "conduit: %s: %s\n", path.c_str(),
                             reader.error().c_str());
            }
            std::fprintf(environment.out, "end of %s after %llu frames; silence follows\n",
                         path.c_str(), static_cast<unsigned long long>(player.framesPlayed()));
        }
        return true;
    });
    const int closed = Close(environment, connection);
    return stepped && closed == 0 && reader.error().empty() ? 0 : 1;
}

int Loopback(Environment& environment) {
    std::unique_ptr<Connection> capture;
    std::unique_ptr<Connection> render;
    if (!Connect(environment, Direction::Capture, &capture) ||
        !Connect(environment, Direction::Render, &render)) {
        return 1;
    }
    // The microphone takes the speaker's format, so that frames pass unconverted.
    const conduit::DeviceFormat speaker = capture->Read().deviceFormat;
    if (speaker.sampleRate != 0) {
        const conduit::Status set = render->SetFormat(speaker);
        if (!set.ok()) {
            std::fprintf(environment.err, "conduit: %s\n", set.ToString().c_str());
        }
    }
    // Half a second at 48 kHz: room for the two clocks to drift apart a while.
    frames::Loop loop(48000 / 2);
    conduit::HandshakePolicy policy;
    Runner captureRunner(*capture, environment.clock, policy, ShortWaits());
    Runner renderRunner(*render, environment.secondClock, policy, ShortWaits());
    captureRunner.session.SetSink(&loop);
    renderRunner.session.SetSource(&loop);
    Runner* runners[] = {&captureRunner, &renderRunner};
    std::fprintf(environment.out, "looping the speaker back into the microphone until Ctrl-C\n");
    const bool stepped = Loop(environment, runners, 2, [] { return true; });
    std::fprintf(environment.out, "%llu frames carried, %llu dropped, %llu of silence filled\n",
                 static_cast<unsigned long long>(loop.framesCarried()),
                 static_cast<unsigned long long>(loop.framesDropped()),
                 static_cast<unsigned long long>(loop.framesFilled()));
    const int closedRender = Close(environment, render);
    const int closedCapture = Close(environment, capture);
    return stepped && closedRender == 0 && closedCapture == 0 ? 0 : 1;
}

int Status(Environment& environment) {
    const std::vector<std::u16string> interfaces = environment.backend.InterfacePaths();
    if (interfaces.empty()) {
        std::fprintf(environment.err,
                     "conduit: no enabled interface of the driver's private interface class: "
                     "is the driver installed and its device started?\n");
        return 1;
    }
    int result = 0;
    for (Direction direction : {Direction::Capture, Direction::Render}) {
        const char* name = conduit::DirectionName(direction);
        const char* role = direction == Direction::Capture ? "the speaker applications play to"
                                                           : "the microphone they record from";
        std::unique_ptr<Connection> connection;
        const conduit::Status opened =
            Connection::Open(environment.backend, direction, &connection, interfaces.front());
        if (opened.code() == DeviceBusy) {
            std::fprintf(environment.out, "%s (%s): a client is connected\n", name, role);
            continue;
        }
        if (!opened.ok()) {
            std::fprintf(environment.err, "conduit: %s\n", opened.ToString().c_str());
            result = 1;
            continue;
        }
        // Connecting may start a handshake; answer it before leaving again.
        conduit::ManualClock clock;
        conduit::HandshakePolicy policy;
        conduit::Session session(*connection, clock, policy, ShortWaits());
        for (int step = 0; step < 4; ++step) {
            session.Step();
        }
        const StreamView view = connection->Read();
        std::fprintf(environment.out, "%s (%s): no client connected\n", name, role);
        std::fprintf(environment.out, "  device format  %s\n",
                     DeviceFormatText(view.deviceFormat).c_str());
        const std::string latency = view.latencyFrames == 0
                                        ? "not set since the device started"
                                        : std::to_string(view.latencyFrames) + " frames";
        std::fprintf(environment.out, "  latency        %s\n", latency.c_str());
        std::fprintf(environment.out, "  stream         %s\n", StreamText(view).c_str());
        for (const std::string& problem : view.problems) {
            std::fprintf(environment.out, "  problem        %s\n", problem.c_str());
        }
        result |= Close(environment, connection);
    }
    return result;
}

int Run(Environment& environment, const CommandLine& line) {
    switch (line.command) {
    case Command::Help:
        PrintUsage(environment.out);
        return 0;
    case Command::Record:
        return Record(environment, line.file);
    case Command::Play:
        return Play(environment, line.file);
    case Command::Loopback:
        return Loopback(environment);
    case Command::Status:
        return Status(environment);
    case Command::Invalid:
        break;
    }
    std::fprintf(environment.err, "conduit: %s\n\n", line.error.c_str());
    PrintUsage(environment.err);
    return 2;
}

} // namespace commands
