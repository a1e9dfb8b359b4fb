// Position, period and buffer-size arithmetic of the WaveRT stream, kept free of state so that
// every edge (no buffer, fewer frames than periods, wraps, overflow) can be tested by table.
//
// The client's position is a 32-bit counter that it may let wrap at 2^32. The stream never
// reduces the raw counter: it carries a 64-bit count of client frames forward by the difference
// of two readings, and every place in the buffer is that count modulo the buffer's frames. So a
// wrap of the counter is a step like any other, whatever the buffer's length.
#pragma once

#include "platform/KernelHeaders.h"

// The client's frame count after the counter moved from previousPosition to position: the 32-bit
// difference taken as frames moved forward.
ULONGLONG AdvanceClientFrames(ULONGLONG clientFrames, ULONG previousPosition, ULONG position);

// The frame of the buffer that a running count lies on; 0 while there is no buffer.
ULONG FrameInBuffer(ULONGLONG frames, ULONG bufferFrames);

// Frames from the client's frame up to the stream position, in 1..bufferFrames (equal positions
// give a whole buffer); 0 while there is no buffer. A position left over from a larger buffer is
// reduced first.
ULONG FramesAhead(ULONG position, ULONG clientFrame, ULONG bufferFrames);

// The notification period a frame lies in. The tail frames that do not fill a whole period (a
// buffer whose frame count is not a multiple of the period count) belong to the last period.
ULONG PeriodOfFrame(ULONG frame, ULONG framesPerPeriod, ULONG periods);

// The notification periods the client completed moving from count `from` to count `to`: every
// boundary between two periods and every wrap of the buffer passed on the way. A move of more than
// a buffer counts one lap and the periods of the rest: the frames of the other laps were lost
// anyway, and the count keeps the parity that places packets in the buffer. 0 while the buffer has
// no whole period, or when `to` is not past `from`.
ULONG PeriodsCompleted(ULONGLONG from, ULONGLONG to, ULONG bufferFrames, ULONG framesPerPeriod,
                       ULONG periods);

// The request raised to whole frames, computed wide so that a request near the 32-bit limit
// cannot wrap round to a small size.
ULONGLONG AlignToFrames(ULONG requestedBytes, ULONG blockAlign);

// Frames a request covers, a partial frame counting as a whole one; 0 when blockAlign is 0.
ULONG FramesForRequest(ULONG requestedBytes, ULONG blockAlign);

// The byte length of the audio buffer: at least the aligned request and the latency minimum, a
// whole number of frames in each of its `packets` packets (1 for a buffer the engine does not
// address by packet), but never beyond the data buffer's pages: the latency minimum is cut to the
// last whole packet that fits. 0 when the request itself, rounded to whole packets, does not fit.
// alignedBytes must already fit in mdlBytes.
ULONG StreamBufferBytes(ULONGLONG alignedBytes, ULONG blockAlign, ULONG packets,
                        ULONG latencyFrames, ULONG mdlBytes);

// One millisecond of audio in whole frames: the position register's accuracy.
ULONG PositionAccuracy(ULONG avgBytesPerSec, ULONG blockAlign);

// Byte offset of a packet in the buffer; 0 while there is no packet layout.
ULONGLONG PacketOffset(ULONG packet, ULONG periods, ULONGLONG bytesPerPeriod);

// Frame at which a packet starts; 0 while there is no packet layout.
ULONG PacketStartFrame(ULONG packet, ULONG periods, ULONG framesPerPeriod);
