// What the conduit tool does with frames, independent of the operating system: converting
// between sample layouts, recording the Capture direction into a WAV file, playing a WAV file
// into the Render direction, and carrying one direction's frames into the other.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "Wav.h"
#include "conduit/Client.h"

namespace frames {

// The stream's format as a WAV format (rate, containers, valid bits, mask, float).
wav::Format FromStream(const conduit::StreamFormat& format);

// Converts `count` frames from one layout into another: each sample is scaled to the target's
// width (float clipped to full scale), channels beyond the target's are dropped and missing
// ones are silent. The rate is not changed.
void Convert(const wav::Format& from, const std::uint8_t* in, const wav::Format& to,
             std::uint8_t* out, std::uint32_t count);
void Silence(const wav::Format& format, std::uint8_t* out, std::uint32_t count);

// Capture: writes every frame it is handed into a WAV file in the format of the first stream
// it sees. Frames of a later stream with another format are converted into the file's; frames
// at another rate cannot be and are counted as skipped.
class Recorder : public conduit::FrameSink {
public:
    explicit Recorder(std::string path) : path_(std::move(path)) {}
    void Consume(const conduit::StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t count) override;

    // Frames have arrived (the file was created, or creating it failed).
    bool started() const { return started_; }
    std::uint64_t framesWritten() const { return writer_.frames(); }
    std::uint64_t framesSkipped() const { return skipped_; }
    // Empty while all is well; then the first failure (cannot create, write error, file full).
    const std::string& error() const { return error_; }
    const wav::Format& fileFormat() const { return writer_.format(); }
    bool Flush() { return !writer_.IsOpen() || writer_.Flush(); }
    bool Close();

private:
    std::string path_;
    wav::Writer writer_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t skipped_ = 0;
    bool started_ = false;
    std::string error_;
};

// Render: fills frames from a WAV file, converted to the stream's layout; silence once the
// file is over (and while none is open).
class Player : public conduit::FrameSource {
public:
    explicit Player(wav::Reader& reader) : reader_(reader) {}
    void Produce(const conduit::StreamFormat& format, std::uint8_t* bytes,
                 std::uint32_t count) override;

    std::uint64_t framesPlayed() const { return played_; }
    bool finished() const { return played_ >= reader_.frames() || !reader_.error().empty(); }
    // The stream runs at another rate than the file: the frames play at the wrong speed.
    bool rateDiffers() const { return rateDiffers_; }

private:
    wav::Reader& reader_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t played_ = 0;
    bool rateDiffers_ = false;
};

// Loopback: what the Capture side consumes, the Render side produces, through a queue of at
// most `capacity` frames (the oldest are dropped when full, silence fills when empty). Frames
// at another rate than the Render stream's are dropped, not played at the wrong speed.
class Loop : public conduit::FrameSink, public conduit::FrameSource {
public:
    explicit Loop(std::uint32_t capacity) : capacity_(capacity) {}
    void Consume(const conduit::StreamFormat& format, const std::uint8_t* bytes,
                 std::uint32_t count) override;
    void Produce(const conduit::StreamFormat& format, std::uint8_t* bytes,
                 std::uint32_t count) override;

    std::uint64_t framesCarried() const { return carried_; }
    std::uint64_t framesDropped() const { return dropped_; }
    std::uint64_t framesFilled() const { return filled_; } // silence for want of frames
    std::uint32_t queued() const { return static_cast<std::uint32_t>(queue_.size() / Width); }

private:
    // Queued frames as 32-bit samples of 8 channels, so any two layouts meet.
    static constexpr std::uint32_t Width = 8;
    std::uint32_t capacity_;
    std::uint32_t rate_ = 0; // the rate of the queued frames
    std::deque<std::int32_t> queue_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t carried_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t filled_ = 0;
};

} // namespace frames
