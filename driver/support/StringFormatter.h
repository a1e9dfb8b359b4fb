// The driver's one text formatter: printf-style, wide characters, bounded by the caller's
// capacity and always terminated (except at capacity 0, where nothing is written).
#pragma once
#include <stdarg.h>
#include "platform/KernelHeaders.h"

// Returns the characters written, terminator excluded. Every argument occupies one 64-bit slot.
ULONG FormatString(PWCHAR output, ULONGLONG capacity, PCWSTR format, va_list arguments);
ULONG PrintString(PWCHAR output, ULONGLONG capacity, PCWSTR format, ...);

// Digits of value in base (2 to 16, lower-case), as a zero-terminated narrow string in output,
// which must hold 65 characters. Returns output.
PCHAR UnsignedToDigits(ULONG value, PCHAR output, ULONG base);
PCHAR UnsignedToDigits(ULONGLONG value, PCHAR output, ULONG base);
