// Position, period and buffer-size arithmetic of the WaveRT stream. Every divisor is checked:
// these run on the worker's tick and on the audio engine's position queries, with or without a
// buffer.
#include "audio/StreamPositions.h"

namespace {

ULONGLONG RoundUp(ULONGLONG value, ULONGLONG unit) {
    return (value + unit - 1) / unit * unit;
}

} // namespace

ULONGLONG AdvanceClientFrames(ULONGLONG clientFrames, ULONG previousPosition, ULONG position) {
    // Unsigned 32-bit subtraction: the counter's wrap at 2^32 is an ordinary step.
    return clientFrames + static_cast<ULONG>(position - previousPosition);
}

ULONG FrameInBuffer(ULONGLONG frames, ULONG bufferFrames) {
    return bufferFrames == 0 ? 0 : static_cast<ULONG>(frames % bufferFrames);
}

ULONG FramesAhead(ULONG position, ULONG clientFrame, ULONG bufferFrames) {
    if (bufferFrames == 0) {
        return 0;
    }
    ULONG streamFrame = position % bufferFrames;
    ULONG client = clientFrame % bufferFrames;
    return client < streamFrame ? streamFrame - client : streamFrame - client + bufferFrames;
}

ULONG PeriodOfFrame(ULONG frame, ULONG framesPerPeriod, ULONG periods) {
    if (framesPerPeriod == 0 || periods == 0) {
        return 0;
    }
    ULONG period = frame / framesPerPeriod;
    return period < periods ? period : periods - 1;
}

ULONG PeriodsCompleted(ULONGLONG from, ULONGLONG to, ULONG bufferFrames, ULONG framesPerPeriod,
                       ULONG periods) {
    if (bufferFrames == 0 || framesPerPeriod == 0 || periods == 0 || to <= from) {
        return 0;
    }
    const ULONGLONG moved = to - from;
    const ULONG start = static_cast<ULONG>(from % bufferFrames);
    // Below two buffers, so the sum cannot overflow and wraps at most once.
    const ULONGLONG end = start + moved % bufferFrames;
    const ULONG first = PeriodOfFrame(start, framesPerPeriod, periods);
    ULONG crossed = 0;
    if (end >= bufferFrames) {
        // To the buffer's end (the wrap closes the last period), then into the next lap.
        crossed = periods - first +
                  PeriodOfFrame(static_cast<ULONG>(end - bufferFrames), framesPerPeriod, periods);
    } else {
        crossed = PeriodOfFrame(static_cast<ULONG>(end), framesPerPeriod, periods) - first;
    }
    return moved >= bufferFrames ? crossed + periods : crossed;
}

ULONGLONG AlignToFrames(ULONG requestedBytes, ULONG blockAlign) {
    if (blockAlign == 0) {
        return requestedBytes;
    }
    return RoundUp(requestedBytes, blockAlign);
}

ULONG FramesForRequest(ULONG requestedBytes, ULONG blockAlign) {
    if (blockAlign == 0) {
        return 0;
    }
    return static_cast<ULONG>(AlignToFrames(requestedBytes, blockAlign) / blockAlign);
}

ULONG StreamBufferBytes(ULONGLONG alignedBytes, ULONG blockAlign, ULONG packets,
                        ULONG latencyFrames, ULONG mdlBytes) {
    if (blockAlign == 0 || packets == 0) {
        return 0;
    }
    // A packet that ends inside a frame would have the engine and the client split that frame
    // between two periods: every packet holds whole frames.
    const ULONGLONG unit = static_cast<ULONGLONG>(blockAlign) * packets;
    const ULONGLONG request = RoundUp(alignedBytes, unit);
    const ULONGLONG latency = RoundUp(static_cast<ULONGLONG>(blockAlign) * latencyFrames, unit);
    ULONGLONG size = request > latency ? request : latency;
    if (size > mdlBytes) {
        // The latency minimum was set for a smaller frame: the view stops at the last whole
        // packet of the data buffer rather than reaching past its pages.
        size = mdlBytes - mdlBytes % unit;
        if (size < request) {
            return 0;
        }
    }
    return static_cast<ULONG>(size);
}

ULONG PositionAccuracy(ULONG avgBytesPerSec, ULONG blockAlign) {
    ULONG millisecond = avgBytesPerSec / 1000;
    return blockAlign == 0 ? millisecond : millisecond - millisecond % blockAlign;
}

ULONGLONG PacketOffset(ULONG packet, ULONG periods, ULONGLONG bytesPerPeriod) {
    return periods == 0 ? 0 : (packet % periods) * bytesPerPeriod;
}

ULONG PacketStartFrame(ULONG packet, ULONG periods, ULONG framesPerPeriod) {
    return periods == 0 ? 0 : (packet % periods) * framesPerPeriod;
}
