// Sample conversion and the frame sinks and sources of the tool's commands.
#include "Frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace frames {

namespace {

// A sample as a fraction of full scale: [-1, 1) for integers; floats as they are. A double
// holds every 32-bit integer sample exactly, so integer-to-integer conversions lose nothing
// but the bits the narrower target has no room for.
double Decode(const wav::Format& format, const std::uint8_t* at) {
    if (format.isFloat) {
        float value;
        std::memcpy(&value, at, 4);
        return std::isnan(value) ? 0.0 : double(value);
    }
    const unsigned bytes = format.containerBits / 8;
    std::uint32_t raw = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        raw |= std::uint32_t(at[i]) << (8 * (4 - bytes + i));
    }
    if (bytes == 1) {
        raw ^= 0x80000000u; // 8-bit samples are unsigned
    }
    return double(static_cast<std::int32_t>(raw)) / 2147483648.0;
}

void Encode(const wav::Format& format, double value, std::uint8_t* at) {
    if (format.isFloat) {
        const float sample = static_cast<float>(value);
        std::memcpy(at, &sample, 4);
        return;
    }
    const unsigned bytes = format.containerBits / 8;
    const double scale = std::ldexp(1.0, format.containerBits - 1);
    const double scaled = std::floor(value * scale);
    const double clipped = std::min(std::max(scaled, -scale), scale - 1);
    std::uint32_t raw = static_cast<std::uint32_t>(static_cast<std::int64_t>(clipped));
    // Bits below the valid ones stay zero, as left-justified samples require.
    const unsigned unused = format.containerBits - format.validBits;
    raw &= ~((std::uint32_t(1) << unused) - 1);
    if (bytes == 1) {
        raw ^= 0x80;
    }
    for (unsigned i = 0; i < bytes; ++i) {
        at[i] = static_cast<std::uint8_t>(raw >> (8 * i));
    }
}

wav::Format QueueFormat(std::uint32_t channels, std::uint32_t rate) {
    wav::Format format;
    format.channels = static_cast<std::uint16_t>(channels);
    format.sampleRate = rate;
    format.containerBits = 32;
    format.validBits = 32;
    return format;
}

} // namespace

wav::Format FromStream(const conduit::StreamFormat& stream) {
    wav::Format format;
    format.channels = stream.channels;
    format.sampleRate = stream.sampleRate;
    format.containerBits = stream.containerBits;
    format.validBits = stream.validBits;
    format.channelMask = stream.channelMask;
    format.isFloat = stream.isFloat;
    return format;
}

void Convert(const wav::Format& from, const std::uint8_t* in, const wav::Format& to,
             std::uint8_t* out, std::uint32_t count) {
    if (!wav::CheckFormat(to).empty()) {
        return;
    }
    if (!wav::CheckFormat(from).empty()) {
        // A layout the decoder cannot read safely (say float in 16 bits) becomes silence.
        Silence(to, out, count);
        return;
    }
    const std::uint32_t inBytes = from.containerBits / 8;
    const std::uint32_t outBytes = to.containerBits / 8;
    for (std::uint32_t frame = 0; frame < count; ++frame) {
        const std::uint8_t* source = in + std::size_t(frame) * from.BlockAlign();
        std::uint8_t* target = out + std::size_t(frame) * to.BlockAlign();
        for (std::uint32_t channel = 0; channel < to.channels; ++channel) {
            const double value =
                channel < from.channels ? Decode(from, source + channel * inBytes) : 0.0;
            Encode(to, value, target + channel * outBytes);
        }
    }
}

void Silence(const wav::Format& format, std::uint8_t* out, std::uint32_t count) {
    std::memset(out, format.containerBits == 8 && !format.isFloat ? 0x80 : 0,
                std::size_t(count) * format.BlockAlign());
}

void Recorder::Consume(const conduit::StreamFormat& stream, const std::uint8_t* bytes,
                       std::uint32_t count) {
    started_ = true;
    if (!error_.empty()) {
        skipped_ += count;
        return;
    }
    const wav::Format format = FromStream(stream);
    if (!writer_.IsOpen()) {
        std::string error;
        if (!writer_.Open(path_, format, &error)) {
            error_ = error;
            skipped_ += count;
            return;
        }
    }
    const wav::Format& file = writer_.format();
    std::uint32_t written = 0;
    if (format == file) {
        written = writer_.Write(bytes, count);
    } else if (format.sampleRate == file.sampleRate) {
        scratch_.resize(std::size_t(count) * file.BlockAlign());
        Convert(format, bytes, file, scratch_.data(), count);
        written = writer_.Write(scratch_.data(), count);
    }
    skipped_ += count - written;
    if (written != count && error_.empty()) {
        if (writer_.full()) {
            error_ = path_ + ": the file reached the WAV format's 4 GiB limit";
        } else if (!writer_.error().empty()) {
            error_ = path_ + ": " + writer_.error();
        }
    }
}

bool Recorder::Close() {
    if (!writer_.IsOpen()) {
        return error_.empty();
    }
    const bool closed = writer_.Close();
    if (!closed && error_.empty()) {
        error_ = path_ + ": " + writer_.error();
    }
    return closed && error_.empty();
}

void Player::Produce(const conduit::StreamFormat& stream, std::uint8_t* bytes,
                     std::uint32_t count) {
    const wav::Format format = FromStream(stream);
    if (!wav::CheckFormat(format).empty()) {
        Silence(format, bytes, count);
        return;
    }
    const wav::Format& file = reader_.format();
    rateDiffers_ = rateDiffers_ || format.sampleRate != file.sampleRate;
    std::uint32_t got = 0;
    if (format == file) {
        got = reader_.Read(bytes, count);
    } else {
        scratch_.resize(std::size_t(count) * file.BlockAlign());
        got = reader_.Read(scratch_.data(), count);
        Convert(file, scratch_.data(), format, bytes, got);
    }
    played_ += got;
    Silence(format, bytes + std::size_t(got) * format.BlockAlign(), count - got);
}

void Loop::Consume(const conduit::StreamFormat& stream, const std::uint8_t* bytes,
                   std::uint32_t count) {
    if (stream.sampleRate != rate_) {
        // Frames queued at the old rate would play at the wrong speed.
        dropped_ += queued();
        queue_.clear();
        rate_ = stream.sampleRate;
    }
    const wav::Format queueFormat = QueueFormat(Width, rate_);
    scratch_.resize(std::size_t(count) * queueFormat.BlockAlign());
    Convert(FromStream(stream), bytes, queueFormat, scratch_.data(), count);
    for (std::size_t sample = 0; sample < std::size_t(count) * Width; ++sample) {
        std::int32_t value;
        std::memcpy(&value, scratch_.data() + sample * 4, 4);
        queue_.push_back(value);
    }
    if (queued() > capacity_) {
        const std::uint32_t excess = queued() - capacity_;
        queue_.erase(queue_.begin(), queue_.begin() + std::size_t(excess) * Width);
        dropped_ += excess;
    }
}

void Loop::Produce(const conduit::StreamFormat& stream, std::uint8_t* bytes, std::uint32_t count) {
    const wav::Format format = FromStream(stream);
    const std::uint32_t take = stream.sampleRate == rate_ && wav::CheckFormat(format).empty()
                                   ? std::min(count, queued())
                                   : 0;
    const wav::Format queueFormat = QueueFormat(Width, rate_);
    scratch_.resize(std::size_t(take) * queueFormat.BlockAlign());
    for (std::size_t sample = 0; sample < std::size_t(take) * Width; ++sample) {
        const std::int32_t value = queue_.front();
        queue_.pop_front();
        std::memcpy(scratch_.data() + sample * 4, &value, 4);
    }
    Convert(queueFormat, scratch_.data(), format, bytes, take);
    if (take == 0) {
        // Also for a layout Convert cannot write: the whole request becomes silence.
        Silence(format, bytes, count);
    }
    Silence(format, bytes + std::size_t(take) * format.BlockAlign(), count - take);
    carried_ += take;
    filled_ += count - take;
}

} // namespace frames
