// mingw-w64 only: what its audio headers need before they compile as C++ in kernel mode.
#pragma once

// ksmedia.h names TCHAR, which only the user-mode headers declare; kernel code is Unicode.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif

// mmreg.h describes bitmap formats with user-mode GDI types unless told not to; portcls.h sets
// this around its own include, but ks.h or ksmedia.h may pull mmreg.h in first.
#ifndef NOBITMAP
#define NOBITMAP
#endif

// portcls.h declares the WaveRT stream interface with these two types but no mingw-w64 header
// defines them. Layouts as Windows has them (x64: 12 and 40 bytes).
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;
