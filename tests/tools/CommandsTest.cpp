// conduit.exe's commands against the fake driver on a virtual clock: the command line, what
// record writes and play sends, that handshakes are answered up to the close, and status.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Commands.h"
#include "FakeDriver.h"
#include "Wav.h"

namespace commands {
namespace {

using conduit::Handle;
using conduit::WaitResult;

TEST(CommandLine, CommandsAndTheirArguments) {
    struct Case {
        std::vector<const char*> arguments;
        Command command;
        const char* file;
        const char* error; // part of the error text; "" when valid
    };
    const Case cases[] = {
        {{"conduit", "--help"}, Command::Help, "", ""},
        {{"conduit", "record", "out.wav"}, Command::Record, "out.wav", ""},
        {{"conduit", "play", "in.wav"}, Command::Play, "in.wav", ""},
        {{"conduit"}, Command::Invalid, "", "no command"},
        {{"conduit", "record"}, Command::Invalid, "", "record needs exactly one FILE.wav"},
        {{"conduit", "status", "--image"}, Command::Invalid, "", "status takes no arguments"},
        {{"conduit", "demo"}, Command::Invalid, "", "unknown command 'demo'"},
    };
    for (const Case& c : cases) {
        const CommandLine line = Parse(static_cast<int>(c.arguments.size()), c.arguments.data());
        const std::string name = c.arguments.size() > 1 ? c.arguments[1] : "(none)";
        EXPECT_EQ(line.command, c.command) << name;
        EXPECT_EQ(line.file, c.file) << name;
        EXPECT_NE(line.error.find(c.error), std::string::npos) << name << ": " << line.error;
        EXPECT_EQ(line.error.empty(), c.command != Command::Invalid) << name;
    }
}

// The fake driver with a script run at each wait: the client's clock advances, virtual time
// passes, and the test may act (start a handshake, ask the command to stop).
struct ScriptedDriver : conduit::testing::FakeDriver {
    conduit::ManualClock* clock = nullptr;
    std::uint64_t framesPerWait = 0;
    int waits = 0;
    // Returns false to end this wait as a timeout without looking at the event.
    std::function<bool(int)> onWait;

    WaitResult WaitEvent(Handle event, std::chrono::microseconds timeout) override {
        ++waits;
        clock->Advance(framesPerWait);
        now += std::chrono::milliseconds(100);
        if (onWait && !onWait(waits)) {
            return WaitResult::TimedOut;
        }
        return FakeDriver::WaitEvent(event, timeout);
    }
};

std::string Contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[256];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) != 0) {
        text.append(buffer, got);
    }
    return text;
}

struct CommandsTest : ::testing::Test {
    ScriptedDriver driver;
    conduit::ManualClock clock;
    conduit::ManualClock secondClock;
    std::atomic<bool> stop{false};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Environment environment{driver, clock, secondClock, stop, out, err};

    CommandsTest() { driver.clock = &clock; }
    ~CommandsTest() override {
        std::fclose(out);
        std::fclose(err);
    }
    std::string Path(const char* name) { return ::testing::TempDir() + "/conduit-" + name; }
};

TEST_F(CommandsTest, UsageGoesToStdoutForHelpAndToStderrWithStatus2ForMistakes) {
    CommandLine help;
    help.command = Command::Help;
    EXPECT_EQ(commands::Run(environment, help), 0);
    EXPECT_NE(Contents(out).find("Usage: conduit COMMAND"), std::string::npos);
    EXPECT_EQ(Contents(err), "");

    const char* arguments[] = {"conduit", "bogus"};
    EXPECT_EQ(commands::Run(environment, Parse(2, arguments)), 2);
    const std::string error = Contents(err);
    EXPECT_EQ(error.rfind("conduit: unknown command 'bogus'", 0), 0u) << error;
    EXPECT_NE(error.find("Usage: conduit COMMAND"), std::string::npos);
    EXPECT_EQ(driver.openFiles, 0) << "a usage error touches no device";
}

TEST_F(CommandsTest, RecordWritesEveryFrameAndAnswersTheLastHandshakeBeforeClosing) {
    driver.RunStream(2, 16, 48000, 960);
    for (std::uint32_t i = 0; i < 960; ++i) {
        const std::uint16_t frame[2] = {static_cast<std::uint16_t>(i),
                                        static_cast<std::uint16_t>(0x4000 + i)};
        std::memcpy(driver.data.data() + i * 4, frame, 4);
    }
    driver.framesPerWait = 100;
    driver.onWait = [&](int wait) {
        if (wait == 10) {
            driver.BeginHandshake();
        }
        if (wait == 30) {
            // Ctrl-C while a handshake has just been signalled: the command must still
            // answer it before it closes the file.
            stop.store(true);
            driver.BeginHandshake();
            return false;
        }
        return true;
    };
    const std::string path = Path("record.wav");
    ASSERT_EQ(Record(environment, path), 0) << Contents(err);
    EXPECT_EQ(driver.answers, (std::vector<std::int32_t>{0, 0}));
    EXPECT_FALSE(driver.handshakeOpen);
    EXPECT_EQ(driver.openFiles, 0);
    EXPECT_EQ(driver.openEvents, 0);

    wav::Reader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    EXPECT_EQ(wav::Describe(reader.format()), "48000 Hz, 16 bits, 2 channels");
    EXPECT_GE(reader.frames(), 2900u);
    std::vector<std::uint16_t> frames(reader.frames() * 2);
    ASSERT_EQ(reader.Read(reinterpret_cast<std::uint8_t*>(frames.data()),
                          static_cast<std::uint32_t>(reader.frames())),
              reader.frames());
    for (std::size_t i = 0; i < reader.frames(); ++i) {
        ASSERT_EQ(frames[2 * i], i % 960) << "frame " << i;
        ASSERT_EQ(frames[2 * i + 1], 0x4000 + i % 960) << "frame " << i;
    }
    const std::string printed = Contents(out);
    EXPECT_NE(printed.find("Capture: stream run, 48000 Hz"), std::string::npos) << printed;
    EXPECT_NE(printed.find("handshakes 1"), std::string::npos) << printed;
    EXPECT_NE(printed.find(std::to_string(reader.frames()) + " frames"), std::string::npos)
        << printed;
}

TEST_F(CommandsTest, PlaySetsTheFilesFormatAndStreamsItThenSilence) {
    const std::string path = Path("play.wav");
    {
        wav::Format format;
        format.channels = 1;
        format.sampleRate = 48000;
        format.containerBits = 16;
        format.validBits = 16;
        wav::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, format, &error)) << error;
        for (std::uint16_t i = 1; i <= 1000; ++i) {
            writer.Write(reinterpret_cast<const std::uint8_t*>(&i), 1);
        }
        ASSERT_TRUE(writer.Close());
    }
    driver.RunStream(1, 16, 48000, 480);
    driver.framesPerWait = 50;
    // What the session wrote into the ring, in order, read back after each step.
    std::vector<std::uint16_t> played;
    std::uint32_t seen = 0;
    driver.onWait = [&](int wait) {
        for (; seen != driver.block.ClientPosition; ++seen) {
            std::uint16_t sample;
            std::memcpy(&sample, driver.data.data() + (seen % 480) * 2, 2);
            played.push_back(sample);
        }
        if (wait == 40) {
            stop.store(true);
        }
        return true;
    };
    ASSERT_EQ(Play(environment, path), 0) << Contents(err);

    bool sawFormat = false;
    for (const auto& request : driver.requests) {
        if (request.code == transport::IoctlSetFormat) {
            std::uint32_t fields[6];
            ASSERT_EQ(request.input.size(), sizeof fields);
            std::memcpy(fields, request.input.data(), sizeof fields);
            EXPECT_EQ(std::vector<std::uint32_t>(fields, fields + 6),
                      (std::vector<std::uint32_t>{1, 48000, 16, 1, 2, 0}));
            sawFormat = true;
        }
    }
    EXPECT_TRUE(sawFormat);
    ASSERT_GE(played.size(), 1500u);
    for (std::size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], i < 1000 ? i + 1 : 0) << "frame " << i;
    }
    EXPECT_NE(Contents(out).find("end of " + path + " after 1000 frames"), std::string::npos);
    EXPECT_EQ(driver.openFiles, 0);
}

TEST_F(CommandsTest, PlayRefusesABadFileBeforeTouchingTheDevice) {
    const std::string path = Path("not-a-wav.wav");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fputs("RIFF....WAVEjunk", file);
    std::fclose(file);
    EXPECT_EQ(Play(environment, path), 1);
    EXPECT_NE(Contents(err).find("conduit: " + path + ": truncated"), std::string::npos)
        << Contents(err);
    EXPECT_TRUE(driver.requests.empty());
}

TEST_F(CommandsTest, StatusShowsEachDirectionOrThatAnotherClientHasIt) {
    driver.RunStream(2, 16, 48000, 960);
    driver.block.SampleRate = 44100;
    driver.block.BitsPerSample = 24;
    driver.block.Channels = 2;
    driver.block.ContainerBytes = 4;
    driver.block.LatencyFrames = 441;
    EXPECT_EQ(Status(environment), 0) << Contents(err);
    const std::string printed = Contents(out);
    EXPECT_NE(printed.find("device format  44100 Hz, 24 bits in 32, 2 channels"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("latency        441 frames"), std::string::npos) << printed;
    EXPECT_NE(printed.find("stream         stream run, 48000 Hz, 16 bits, 2 channels, buffer 960"),
              std::string::npos)
        << printed;
    EXPECT_EQ(driver.openFiles, 0);
    EXPECT_EQ(driver.openEvents, 0);

    driver.openStatus = static_cast<std::int32_t>(0x80000011);
    std::rewind(out);
    EXPECT_EQ(Status(environment), 0);
    EXPECT_NE(Contents(out).find("Render (the microphone they record from): a client is connected"),
              std::string::npos);

    driver.interfaces.clear();
    EXPECT_EQ(Status(environment), 1);
    EXPECT_NE(Contents(err).find("no enabled interface"), std::string::npos);
}

} // namespace
} // namespace commands
