// conduit.exe's commands on the real driver inside the host platform, through the host
// backend: the format play sets is the device's, status reads it back, sees a direction another
// client holds, and leaves nothing open behind.
#include <gtest/gtest.h>

#include <cstdio>

#include "Commands.h"
#include "DriverTest.h"
#include "HostBackend.h"
#include "Wav.h"
#include "transport/TransportEndpoint.h"

namespace {

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

class CommandsDriverTest : public DriverTest {};

TEST_F(CommandsDriverTest, PlaySetsTheDeviceFormatAndStatusShowsIt) {
    LoadAndStart();
    const std::string path = ::testing::TempDir() + "/conduit-driver-play.wav";
    {
        wav::Format format;
        format.channels = 1;
        format.sampleRate = 44100;
        format.containerBits = 16;
        format.validBits = 16;
        wav::Writer writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, format, &error)) << error;
        const std::uint8_t frames[4] = {1, 2, 3, 4};
        ASSERT_EQ(writer.Write(frames, 2), 2u);
        ASSERT_TRUE(writer.Close());
    }
    conduit::HostBackend backend(NewProcess(false));
    conduit::ManualClock clock;
    conduit::ManualClock secondClock;
    // Stopped from the start: play connects, sets the format, answers what is pending, closes.
    std::atomic<bool> stop{true};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    commands::Environment environment{backend, clock, secondClock, stop, out, err};

    ASSERT_EQ(commands::Play(environment, path), 0) << Contents(err);
    const transport::TransportControlBlock* render = Endpoint(true).ControlBlock();
    EXPECT_EQ(render->SampleRate, 44100u);
    EXPECT_EQ(render->BitsPerSample, 16u);
    EXPECT_EQ(render->Channels, 1u);
    EXPECT_EQ(render->ClientConnected, 0u) << "play closed its file";

    // Another program holds the Capture direction.
    host::Process& other = NewProcess(false, "other client");
    HANDLE held = OpenTransport(other, false);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    std::rewind(out);
    EXPECT_EQ(commands::Status(environment), 0) << Contents(err);
    const std::string printed = Contents(out);
    EXPECT_NE(printed.find("Capture (the speaker applications play to): a client is connected"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("Render (the microphone they record from): no client connected\n"
                           "  device format  44100 Hz, 16 bits, 1 channel\n"),
              std::string::npos)
        << printed;
    Close(other, held);
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(Unload(), std::vector<std::string>());
}

} // namespace
