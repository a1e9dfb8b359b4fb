// The C records of a stream view and a stream format. Their layouts are part of the ABI: the
// assertions below fail the build of any change that would move a field.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "Handles.h"

namespace conduit::capi {

static_assert(sizeof(conduit_device_format) == 20, "conduit_device_format layout");
static_assert(sizeof(conduit_stream_format) == 20 &&
                  offsetof(conduit_stream_format, format_tag) == 8 &&
                  offsetof(conduit_stream_format, is_float) == 18,
              "conduit_stream_format layout");
static_assert(sizeof(conduit_stream_view) == 236 && offsetof(conduit_stream_view, state) == 4 &&
                  offsetof(conduit_stream_view, format) == 8 &&
                  offsetof(conduit_stream_view, buffer_frames) == 28 &&
                  offsetof(conduit_stream_view, device_format) == 52 &&
                  offsetof(conduit_stream_view, problem_count) == 72 &&
                  offsetof(conduit_stream_view, problem) == 76,
              "conduit_stream_view layout");
static_assert(sizeof(conduit_session_stats) == 64, "conduit_session_stats layout");

conduit_stream_format ToC(const StreamFormat& format) {
    conduit_stream_format out{};
    out.sample_rate = format.sampleRate;
    out.channel_mask = format.channelMask;
    out.format_tag = format.formatTag;
    out.channels = format.channels;
    out.block_align = format.blockAlign;
    out.container_bits = format.containerBits;
    out.valid_bits = format.validBits;
    out.is_float = format.isFloat ? 1 : 0;
    return out;
}

void ToC(const StreamView& view, conduit_stream_view* out) {
    *out = conduit_stream_view{};
    out->client_connected = view.clientConnected ? 1 : 0;
    out->stream_open = view.streamOpen ? 1 : 0;
    out->has_format = view.hasFormat ? 1 : 0;
    out->can_move_frames = view.CanMoveFrames() ? 1 : 0;
    out->state = static_cast<conduit_stream_state>(view.state);
    if (view.hasFormat) {
        out->format = ToC(view.format);
    }
    out->buffer_frames = view.bufferFrames;
    out->ahead_frames = view.aheadFrames;
    out->driver_position = view.driverPosition;
    out->handshake_flags = view.handshakeFlags;
    out->stream_mode_flags = view.streamModeFlags;
    out->latency_frames = view.latencyFrames;
    out->device_format.sample_rate = view.deviceFormat.sampleRate;
    out->device_format.bits_per_sample = view.deviceFormat.bitsPerSample;
    out->device_format.channels = view.deviceFormat.channels;
    out->device_format.container_bytes = view.deviceFormat.containerBytes;
    out->device_format.channel_mask = view.deviceFormat.channelMask;
    out->problem_count = static_cast<std::uint32_t>(view.problems.size());
    if (!view.problems.empty()) {
        const std::string& first = view.problems.front();
        const std::size_t bytes = std::min(first.size(), sizeof(out->problem) - 1);
        std::memcpy(out->problem, first.data(), bytes);
    }
}

} // namespace conduit::capi
