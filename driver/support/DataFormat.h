// Kernel-streaming data-format blocks (a KSDATAFORMAT, its wave format and an optional
// attribute list): the check that turns one into a wave format record, and the builder.
#pragma once
#include "platform/AudioHeaders.h"

// Checks the block and copies its wave format into record (40 bytes, zeroed by the caller).
// blockSize is what the caller can read of the block; 0 means the caller vouches for
// FormatSize bytes and, with KSDATAFORMAT_ATTRIBUTES, the whole attribute list. modeOut
// (optional) receives the requested signal-processing mode, GUID_NULL when none is named.
// messageBuffer (optional, MessageCapacity characters) receives the reason for a refusal or
// the last warning. The record is meaningful only on success.
NTSTATUS ValidateKsDataFormat(WAVEFORMATEXTENSIBLE* record, const KSDATAFORMAT* dataFormat,
                              ULONGLONG blockSize, GUID* modeOut, PWCHAR messageBuffer);

// The one check of a format a stream is created, changed or proposed with: a valid block
// (ValidateKsDataFormat, same arguments) whose record is a PCM or float format within what the
// device streams (STATUS_NO_MATCH otherwise), returned in the extensible layout.
NTSTATUS AcceptStreamFormat(WAVEFORMATEXTENSIBLE* record, const KSDATAFORMAT* dataFormat,
                            ULONGLONG blockSize, GUID* modeOut);

// Writes a KSDATAFORMAT_WAVEFORMATEX header and the record's 40 bytes into block (at least
// DataFormatBlockBytes long). Returns FormatSize: 82 + the record's cbSize, where a cbSize
// above 22 is written as 22 since the record carries no more extension than that.
ULONG BuildKsDataFormat(const WAVEFORMATEXTENSIBLE* record, PVOID block);

const ULONG DataFormatBlockBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE); // 104
