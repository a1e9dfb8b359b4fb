// Test signals and their comparison.
#include "Signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace conduit::tool {

std::vector<std::uint8_t> GenerateSignal(const DeviceFormat& format, std::uint64_t frames,
                                         unsigned variant) {
    const std::uint32_t container = format.containerBytes;
    const std::uint32_t bits = std::min<std::uint32_t>(format.bitsPerSample, container * 8);
    std::vector<std::uint8_t> bytes(frames * format.channels * container);
    if (bits == 0 || format.sampleRate == 0) {
        return bytes;
    }
    const double pi = 3.14159265358979323846;
    const double amplitude = std::ldexp(1.0, static_cast<int>(bits) - 2); // a quarter of full scale
    std::uint32_t noise = 0x9E3779B9u * (variant + 1);
    const std::uint32_t blockAlign = format.channels * container;
    // The lowest valid bit of a sample, in its container's bytes.
    const std::uint32_t lowBit = container * 8 - bits;
    // Each channel's tone repeats after rate / gcd(frequency, rate) frames: its samples are worked
    // out once per period (a sine per sample made generating a long run slower than running it).
    const std::uint64_t rate = format.sampleRate;
    struct Tone {
        std::uint64_t frequency; // in Hz, modulo the rate
        std::vector<std::int64_t> period;
        std::size_t at = 0; // this frame's place in the period
    };
    std::vector<Tone> tones(format.channels);
    for (std::uint32_t channel = 0; channel < format.channels; channel++) {
        Tone& tone = tones[channel];
        tone.frequency = (220u * (variant + 1) + 110u * channel) % rate;
        const std::uint64_t length =
            rate / std::gcd(tone.frequency == 0 ? rate : tone.frequency, rate);
        tone.period.resize(std::min<std::uint64_t>(length, frames));
        std::uint64_t phase = 0;
        for (std::int64_t& value : tone.period) {
            value = std::llround(amplitude * std::sin(2 * pi * double(phase) / double(rate)));
            phase = (phase + tone.frequency) % rate;
        }
    }
    std::uint8_t* at = bytes.data();
    for (std::uint64_t frame = 0; frame < frames; frame++) {
        std::uint8_t* const frameStart = at;
        for (std::uint32_t channel = 0; channel < format.channels; channel++) {
            Tone& tone = tones[channel];
            noise = noise * 1664525u + 1013904223u;
            std::int64_t sample = tone.period[tone.at];
            if (++tone.at == tone.period.size()) {
                tone.at = 0;
            }
            sample += static_cast<std::int64_t>(noise >> 29) - 4; // -4..3
            std::uint64_t code = 0;
            if (bits == 8) {
                code = static_cast<std::uint64_t>(sample + 128); // 8-bit PCM is unsigned
            } else {
                code = static_cast<std::uint64_t>(sample);
            }
            // Left-justify the valid bits in the container, as the formats require.
            code <<= container * 8 - bits;
            for (std::uint32_t byte = 0; byte < container; byte++) {
                *at++ = static_cast<std::uint8_t>(code >> (8 * byte));
            }
        }
        // A few valid bits can repeat a frame by chance; a repeat would hide a repeated frame.
        if (frame != 0 && std::memcmp(frameStart, frameStart - blockAlign, blockAlign) == 0) {
            frameStart[lowBit / 8] ^= static_cast<std::uint8_t>(1u << (lowBit % 8));
        }
    }
    return bytes;
}

std::int64_t FirstDifferentFrame(const std::vector<std::uint8_t>& sent,
                                 const std::vector<std::uint8_t>& received,
                                 std::uint32_t blockAlign) {
    if (blockAlign == 0) {
        return sent.empty() ? -1 : 0;
    }
    const std::size_t common = std::min(sent.size(), received.size());
    const auto mismatch = std::mismatch(sent.begin(), sent.begin() + common, received.begin());
    if (mismatch.first != sent.begin() + common) {
        return static_cast<std::int64_t>((mismatch.first - sent.begin()) / blockAlign);
    }
    if (received.size() < sent.size()) {
        return static_cast<std::int64_t>(received.size() / blockAlign);
    }
    return -1;
}

} // namespace conduit::tool
