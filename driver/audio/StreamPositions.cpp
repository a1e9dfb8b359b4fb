// Position, period and buffer-size arithmetic of the WaveRT stream. Every divisor is checked:
// these run on the worker's tick and on the audio engine's position queries, with or without a
// buffer.
#include "audio/StreamPositions.h"

ULONG ReduceClientPosition(ULONG clientPosition, ULONG bufferFrames) {
    return bufferFrames == 0 ? 0 : clientPosition % bufferFrames;
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

bool CrossesPeriod(ULONG previous, ULONG current, ULONG framesPerPeriod, ULONG periods) {
    if (framesPerPeriod == 0 || periods == 0) {
        return false;
    }
    return current < previous || PeriodOfFrame(previous, framesPerPeriod, periods) !=
                                     PeriodOfFrame(current, framesPerPeriod, periods);
}

ULONGLONG AlignToFrames(ULONG requestedBytes, ULONG blockAlign) {
    if (blockAlign == 0) {
        return requestedBytes;
    }
    ULONGLONG raised = static_cast<ULONGLONG>(requestedBytes) + blockAlign - 1;
    return raised - raised % blockAlign;
}

ULONG FramesForRequest(ULONG requestedBytes, ULONG blockAlign) {
    if (blockAlign == 0) {
        return 0;
    }
    return static_cast<ULONG>(AlignToFrames(requestedBytes, blockAlign) / blockAlign);
}

ULONG StreamBufferBytes(ULONGLONG alignedBytes, ULONG blockAlign, ULONG latencyFrames,
                        ULONG mdlBytes) {
    ULONGLONG latencyBytes = static_cast<ULONGLONG>(blockAlign) * latencyFrames;
    ULONGLONG size = alignedBytes > latencyBytes ? alignedBytes : latencyBytes;
    if (size > mdlBytes) {
        // The latency minimum was set for a smaller frame: the view stops at the last whole
        // frame of the data buffer rather than reaching past its pages.
        size = blockAlign == 0 ? mdlBytes : mdlBytes - mdlBytes % blockAlign;
        if (size < alignedBytes) {
            size = alignedBytes;
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
