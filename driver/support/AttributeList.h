// Attribute lists behind a kernel-streaming data format: only signal-processing-mode
// attributes are understood, and the list is checked strictly.
#pragma once
#include "platform/AudioHeaders.h"

// list: the KSMULTIPLE_ITEM header and its KSATTRIBUTE entries. availableBytes is what the
// caller can read from list on (0: the caller vouches for the list's own Size). modeOut
// (optional) receives the mode of the last mode attribute. Returns STATUS_SUCCESS;
// STATUS_MORE_ENTRIES when no modeOut was given and a mode other than DEFAULT is named;
// STATUS_INVALID_PARAMETER for malformed sizes or counts; STATUS_NO_MATCH for any other
// attribute. messageBuffer as for ValidateKsDataFormat.
NTSTATUS ValidateAttributeList(const VOID* list, ULONGLONG availableBytes, GUID* modeOut,
                               PWCHAR messageBuffer);
