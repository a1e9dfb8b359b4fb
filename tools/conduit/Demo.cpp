// `conduit demo`: for each transfer mode, a fresh machine with the driver started, the engine
// playing a signal (or a WAV file) into the speaker endpoint while the client reads it, and
// the client writing a second signal that the engine records from the microphone endpoint.
// Both received streams are written as WAV files and compared with what was sent.
#include "Demo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "EndToEnd.h"
#include "HostDriver.h"
#include "Wav.h"

namespace {

using conduit::tool::EndToEndOptions;
using conduit::tool::EndToEndResult;
using host::engine::TransferMode;

struct DemoOptions {
    bool fast = false;
    bool position = true;
    bool packet = true;
    bool client32Bit = false;
    bool coalesce = false;
    bool lowLatency = false;
    bool latencyGiven = false;
    std::uint32_t latencyFrames = 960;
    std::uint32_t pauses = 0;
    double seconds = 2.0;
    std::string input;     // a WAV file for the engine to play
    std::string outputDir; // where the received streams go; empty: not written
    std::string imagePath;
};

void PrintUsage(std::FILE* to) {
    std::fprintf(
        to, "Usage: conduit demo [--fast] [--mode position|packet|both] [--seconds N]\n"
            "                    [--low-latency] [--latency FRAMES] [--coalesce] [--pauses N]\n"
            "                    [--input FILE.wav] [--out DIR] [--32bit] [--image PATH]\n"
            "  --fast      run as fast as the ticks and handshakes allow (default: real time)\n"
            "  --mode      transfer mode of the audio engine (default: both, one run each)\n"
            "  --seconds   audio carried each way per run (default 2)\n"
            "  --low-latency\n"
            "              the engines ask for the smallest period the filters declare, in\n"
            "              real-time threads (the latency then defaults to 0: the engine's\n"
            "              request alone sizes the buffer)\n"
            "  --latency   the client's latency request: the least buffer, in frames (default\n"
            "              960); odd values and the whole data buffer are fine\n"
            "  --coalesce  the client lets its ticks coalesce instead of holding at each\n"
            "              period boundary\n"
            "  --pauses    the engines pause and resume their streams N times mid-run\n"
            "  --input     play this WAV file instead of the generated signal; its format\n"
            "              becomes the device format\n"
            "  --out       write what each side received as WAV files into DIR\n"
            "  --32bit     run the client as a 32-bit process\n"
            "  --image     the driver image to load (default: the one built with this program)\n");
}

bool ParseOptions(const std::vector<std::string>& args, DemoOptions* options) {
    for (std::size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        } else if (arg == "--fast") {
            options->fast = true;
        } else if (arg == "--low-latency") {
            options->lowLatency = true;
        } else if (arg == "--32bit") {
            options->client32Bit = true;
        } else if (arg == "--mode" && hasValue) {
            const std::string mode = args[++i];
            options->position = mode == "position" || mode == "both";
            options->packet = mode == "packet" || mode == "both";
            if (!options->position && !options->packet) {
                std::fprintf(stderr, "conduit demo: unknown mode '%s'\n", mode.c_str());
                return false;
            }
        } else if (arg == "--seconds" && hasValue) {
            char* end = nullptr;
            options->seconds = std::strtod(args[++i].c_str(), &end);
            if (end == nullptr || *end != '\0' || !(options->seconds > 0) ||
                options->seconds > 3600) {
                std::fprintf(stderr, "conduit demo: --seconds wants a number of seconds up to "
                                     "3600\n");
                return false;
            }
        } else if ((arg == "--latency" || arg == "--pauses") && hasValue) {
            char* end = nullptr;
            const std::string& text = args[++i];
            const unsigned long value = std::strtoul(text.c_str(), &end, 10);
            const bool latency = arg == "--latency";
            const unsigned long least = latency ? 1 : 0;
            const unsigned long most = latency ? 524288 : 1000;
            if (text.empty() || end == nullptr || *end != '\0' || text[0] == '-' || value < least ||
                value > most) {
                std::fprintf(stderr, "conduit demo: %s wants a whole number from %lu to %lu\n",
                             arg.c_str(), least, most);
                return false;
            }
            (latency ? options->latencyFrames : options->pauses) =
                static_cast<std::uint32_t>(value);
            options->latencyGiven = options->latencyGiven || latency;
        } else if (arg == "--coalesce") {
            options->coalesce = true;
        } else if (arg == "--input" && hasValue) {
            options->input = args[++i];
        } else if (arg == "--out" && hasValue) {
            options->outputDir = args[++i];
        } else if (arg == "--image" && hasValue) {
            options->imagePath = args[++i];
        } else {
            std::fprintf(stderr, "conduit demo: unknown or incomplete option '%s'\n", arg.c_str());
            return false;
        }
    }
    return true;
}

void Line(const char* what, const std::string& detail) {
    std::printf("  %-14s %s\n", what, detail.c_str());
}

std::string Micros(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), value < 100 ? "%.1f us" : "%.0f us", value);
    return text;
}

// A bar on a terminal; a line per quarter elsewhere, so logs stay readable.
class ProgressBar {
public:
    ProgressBar() : terminal_(isatty(STDOUT_FILENO) != 0) {}
    void Show(double fraction) {
        const int percent = static_cast<int>(fraction * 100);
        if (terminal_) {
            const int filled = static_cast<int>(fraction * 40);
            std::printf("\r  %-14s [%s%s] %3d%%", "progress", std::string(filled, '#').c_str(),
                        std::string(40 - filled, '.').c_str(), percent);
            shown_ = true;
        } else if (percent / 25 > lastQuarter_) {
            lastQuarter_ = percent / 25;
            std::printf("  %-14s %d%%\n", "progress", lastQuarter_ * 25);
        }
        std::fflush(stdout);
    }
    void End() {
        if (shown_) {
            std::printf("\n");
        }
    }

private:
    bool terminal_;
    bool shown_ = false;
    int lastQuarter_ = 0;
};

std::string FormatText(const WAVEFORMATEXTENSIBLE& format) {
    const WAVEFORMATEX& plain = format.Format;
    char text[160];
    std::snprintf(text, sizeof(text),
                  "%u Hz, %u-bit samples in %u-bit containers, %u channels (mask 0x%X), "
                  "%u-byte frames",
                  unsigned(plain.nSamplesPerSec), unsigned(format.Samples.wValidBitsPerSample),
                  unsigned(plain.wBitsPerSample), unsigned(plain.nChannels),
                  unsigned(format.dwChannelMask), unsigned(plain.nBlockAlign));
    return text;
}

std::string Verdict(const conduit::tool::DirectionResult& direction, std::uint32_t blockAlign) {
    const std::uint64_t frames = blockAlign == 0 ? 0 : direction.sent.size() / blockAlign;
    if (direction.exact()) {
        return std::to_string(frames) + " frames, bit-exact";
    }
    return std::to_string(frames) + " frames sent, " +
           std::to_string(blockAlign == 0 ? 0 : direction.received.size() / blockAlign) +
           " received, FIRST DIFFERENCE at frame " + std::to_string(direction.firstDifferentFrame);
}

wav::Format WavFormatOf(const conduit::DeviceFormat& format) {
    wav::Format wavFormat;
    wavFormat.channels = static_cast<std::uint16_t>(format.channels);
    wavFormat.sampleRate = format.sampleRate;
    wavFormat.containerBits = static_cast<std::uint16_t>(format.containerBytes * 8);
    wavFormat.validBits = static_cast<std::uint16_t>(format.bitsPerSample);
    wavFormat.channelMask = format.channelMask;
    return wavFormat;
}

bool WriteReceived(const DemoOptions& options, const std::string& name,
                   const conduit::DeviceFormat& format, const std::vector<std::uint8_t>& bytes) {
    if (options.outputDir.empty()) {
        return true;
    }
    const std::string path = options.outputDir + "/" + name;
    const wav::Format wavFormat = WavFormatOf(format);
    const std::uint32_t frames = static_cast<std::uint32_t>(bytes.size() / wavFormat.BlockAlign());
    wav::Writer writer;
    std::string error;
    bool written = writer.Open(path, wavFormat, &error);
    if (written && writer.Write(bytes.data(), frames) != frames) {
        error = writer.error().empty() ? "the file is full" : writer.error();
        written = false;
    }
    if (written && !writer.Close()) {
        error = writer.error();
        written = false;
    }
    if (!written) {
        Line("", "could not write " + path + ": " + error);
        return false;
    }
    Line("", "written to " + path);
    return true;
}

// The whole of a WAV file's frames and the device format that carries them unchanged.
bool ReadInput(const std::string& path, conduit::DeviceFormat* format,
               std::vector<std::uint8_t>* frames, std::string* error) {
    wav::Reader reader;
    if (!reader.Open(path, error)) {
        return false;
    }
    const wav::Format& wavFormat = reader.format();
    if (wavFormat.isFloat) {
        *error = "the device carries integer PCM; this file holds floating-point samples";
        return false;
    }
    format->sampleRate = wavFormat.sampleRate;
    format->bitsPerSample = wavFormat.validBits;
    format->channels = wavFormat.channels;
    format->containerBytes = wavFormat.containerBits / 8u;
    format->channelMask = wavFormat.channelMask;
    const std::uint32_t blockAlign = wavFormat.BlockAlign();
    frames->resize(reader.frames() * blockAlign);
    std::uint64_t read = 0;
    while (read < reader.frames()) {
        const std::uint32_t chunk =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(reader.frames() - read, 1u << 16));
        const std::uint32_t got = reader.Read(frames->data() + read * blockAlign, chunk);
        if (got == 0) {
            *error = reader.error().empty() ? "the file ended early" : reader.error();
            return false;
        }
        read += got;
    }
    if (read == 0) {
        *error = "the file holds no frames";
        return false;
    }
    return true;
}

bool RunMode(const DemoOptions& options, TransferMode mode, const conduit::DeviceFormat& format,
             const std::vector<std::uint8_t>& input) {
    const char* modeName = mode == TransferMode::Packet ? "packet" : "position";
    std::printf("\n%s mode, %s, %s client%s%s\n", modeName, options.fast ? "fast" : "real time",
                options.client32Bit ? "32-bit" : "64-bit",
                options.coalesce ? ", ticks coalescing" : "",
                options.lowLatency ? ", low-latency engine" : "");
    EndToEndOptions run;
    run.mode = mode;
    run.fast = options.fast;
    run.client32Bit = options.client32Bit;
    run.coalesce = options.coalesce;
    run.lowLatency = options.lowLatency;
    run.latencyFrames = options.latencyFrames;
    run.pauses = options.pauses;
    run.format = format;
    run.frames = input.empty() ? static_cast<std::uint64_t>(options.seconds * format.sampleRate)
                               : input.size() / (format.channels * format.containerBytes);
    run.playSignal = input;
    run.imagePath = options.imagePath;
    ProgressBar bar;
    run.progress = [&bar](double fraction) { bar.Show(fraction); };
    EndToEndResult result = conduit::tool::RunEndToEnd(run);
    bar.End();

    const std::uint32_t blockAlign = format.channels * format.containerBytes;
    if (result.format.Format.nBlockAlign != 0) {
        Line("format", FormatText(result.format));
        Line("buffer", std::to_string(result.bufferBytes) + " bytes, periods of " +
                           std::to_string(result.framesPerPeriod) + " frames (latency " +
                           std::to_string(options.latencyFrames) +
                           (options.latencyFrames == 1 ? " frame), " : " frames), ") +
                           (result.notified ? "with notifications" : "polled: no notifications") +
                           (result.mode != mode ? ", moved by position" : ""));
    }
    bool declaredInUse = true;
    if (options.lowLatency && result.format.Format.nBlockAlign != 0) {
        const host::engine::DeclaredPeriod& declared = result.declared;
        declaredInUse = declared.declared && declared.periodFrames != 0 &&
                        declared.periodFrames == result.framesPerPeriod;
        char text[160];
        if (!declared.declared) {
            std::snprintf(text, sizeof(text),
                          "NONE: the filter declares no packet-size constraints");
        } else {
            std::snprintf(text, sizeof(text), "minimum period %.3f ms = %u frames at %u Hz%s",
                          declared.minimumPeriodHns / 10000.0, unsigned(declared.periodFrames),
                          unsigned(result.format.Format.nSamplesPerSec),
                          declaredInUse ? ", the engine's period" : ", NOT the engine's period");
        }
        Line("declared", text);
    }
    if (options.pauses != 0) {
        Line("pauses", std::to_string(result.pauses) + " of " + std::to_string(options.pauses) +
                           " made and resumed by each engine");
    }
    Line("play", "engine -> wave_r -> client's Capture file: " + Verdict(result.play, blockAlign));
    bool good =
        WriteReceived(options, std::string(modeName) + "-played.wav", format, result.play.received);
    Line("record",
         "client's Render file -> wave_c -> engine: " + Verdict(result.record, blockAlign));
    good = WriteReceived(options, std::string(modeName) + "-recorded.wav", format,
                         result.record.received) &&
           good;
    const conduit::SessionStats& reading = result.play.session;
    const conduit::SessionStats& writing = result.record.session;
    Line("ticks", std::to_string(reading.ticks + writing.ticks) + " (" +
                      std::to_string(reading.ticks) + " reading, " + std::to_string(writing.ticks) +
                      " writing)");
    Line("handshakes", std::to_string(reading.handshakes + writing.handshakes) + " (" +
                           std::to_string(reading.failedAnswers + writing.failedAnswers) +
                           " failed, " + std::to_string(reading.lateAnswers + writing.lateAnswers) +
                           " late)");
    Line("tick latency", "median " + Micros(result.tick.medianMicroseconds) + ", p99 " +
                             Micros(result.tick.p99Microseconds) + " (" +
                             std::to_string(result.tick.samples) +
                             " wakes; tick request -> engine's wait returns)");
    Line("handshake", "median " + Micros(result.handshake.medianMicroseconds) + ", p99 " +
                          Micros(result.handshake.p99Microseconds) + " (" +
                          std::to_string(result.handshake.samples) +
                          " engine requests answered by the client)");
    Line("glitches",
         "engine " + std::to_string(result.play.engine.glitches) + " playing, " +
             std::to_string(result.record.engine.glitches) + " recording; late packets " +
             std::to_string(result.play.engine.latePackets + result.record.engine.latePackets) +
             "; client frames dropped " +
             std::to_string(reading.framesDropped + writing.framesDropped));
    Line("copied", std::to_string(result.bytesCopiedByDriver) +
                       " bytes of audio copied by the driver (the buffers are shared pages)");
    Line("time", std::to_string(result.elapsed.count() / 1000) + " ms");
    if (result.verifierProblems.empty()) {
        Line("verifier", "clean: nothing left behind after the unload");
    } else {
        Line("verifier", std::to_string(result.verifierProblems.size()) + " problem(s):");
        for (const std::string& problem : result.verifierProblems) {
            Line("", problem);
        }
    }
    if (!result.completed) {
        Line("FAILED", result.failure);
    }
    return good && declaredInUse && result.passed();
}

} // namespace

int RunDemo(const std::vector<std::string>& args) {
    DemoOptions options;
    if (!ParseOptions(args, &options)) {
        PrintUsage(stderr);
        return 2;
    }
    conduit::DeviceFormat format{48000, 16, 2, 2, 0};
    std::vector<std::uint8_t> input;
    if (!options.input.empty()) {
        std::string error;
        if (!ReadInput(options.input, &format, &input, &error)) {
            std::fprintf(stderr, "conduit demo: %s: %s\n", options.input.c_str(), error.c_str());
            return 2;
        }
    }
    if (options.lowLatency && !options.latencyGiven) {
        options.latencyFrames = 0;
    }
    if (!options.outputDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.outputDir, error);
        if (error) {
            std::fprintf(stderr, "conduit demo: cannot create %s: %s\n", options.outputDir.c_str(),
                         error.message().c_str());
            return 2;
        }
    }
    std::printf("conduit demo: the driver in the host platform, the simulated audio engine on "
                "both endpoints,\nthe client on both files; every run checks both directions "
                "bit-exact.\n");
    bool good = true;
    if (options.position) {
        good = RunMode(options, TransferMode::Position, format, input) && good;
    }
    if (options.packet) {
        good = RunMode(options, TransferMode::Packet, format, input) && good;
    }
    std::printf("\nResult: %s\n",
                good ? "PASSED: both directions bit-exact in every run" : "FAILED");
    return good ? 0 : 1;
}
