// Position, period and buffer-size arithmetic of the WaveRT stream, kept free of state so that
// every edge (no buffer, fewer frames than periods, wraps, overflow) can be tested by table.
#pragma once

#include "platform/KernelHeaders.h"

// The client's free-running frame counter reduced into the buffer; 0 while there is no buffer.
ULONG ReduceClientPosition(ULONG clientPosition, ULONG bufferFrames);

// Frames from the client's frame up to the stream position, in 1..bufferFrames (equal positions
// give a whole buffer); 0 while there is no buffer. A position left over from a larger buffer is
// reduced first.
ULONG FramesAhead(ULONG position, ULONG clientFrame, ULONG bufferFrames);

// The notification period a frame lies in. The tail frames that do not fill a whole period (a
// buffer whose frame count is not a multiple of the period count) belong to the last period.
ULONG PeriodOfFrame(ULONG frame, ULONG framesPerPeriod, ULONG periods);

// Whether the move previous → current completed a notification period: it entered another
// period, or it wrapped from the end back towards the start (the only sign of a completed
// period when the buffer is one period long). Several periods between two ticks count once.
// Never true while the buffer has no whole period.
bool CrossesPeriod(ULONG previous, ULONG current, ULONG framesPerPeriod, ULONG periods);

// The request raised to whole frames, computed wide so that a request near the 32-bit limit
// cannot wrap round to a small size.
ULONGLONG AlignToFrames(ULONG requestedBytes, ULONG blockAlign);

// Frames a request covers, a partial frame counting as a whole one; 0 when blockAlign is 0.
ULONG FramesForRequest(ULONG requestedBytes, ULONG blockAlign);

// The byte length of the audio buffer: at least the aligned request and the latency minimum,
// but never beyond the data buffer's pages (cut to whole frames). alignedBytes must already
// fit in mdlBytes.
ULONG StreamBufferBytes(ULONGLONG alignedBytes, ULONG blockAlign, ULONG latencyFrames,
                        ULONG mdlBytes);

// One millisecond of audio in whole frames: the position register's accuracy.
ULONG PositionAccuracy(ULONG avgBytesPerSec, ULONG blockAlign);

// Byte offset of a packet in the buffer; 0 while there is no packet layout.
ULONGLONG PacketOffset(ULONG packet, ULONG periods, ULONGLONG bytesPerPeriod);

// Frame at which a packet starts; 0 while there is no packet layout.
ULONG PacketStartFrame(ULONG packet, ULONG periods, ULONG framesPerPeriod);
