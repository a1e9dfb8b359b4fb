// Wave formats: the WAVEFORMATEX family of mmreg.h for the host build.
#pragma once
#include "ntdef.h"

// ---- Format tags ----
#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

// ---- Speaker positions of a channel mask ----
#define SPEAKER_FRONT_LEFT 0x1
#define SPEAKER_FRONT_RIGHT 0x2
#define SPEAKER_FRONT_CENTER 0x4

// ---- Wave format records (byte-packed, as Windows lays them out) ----
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize; // bytes of extension after these 18
} WAVEFORMATEX, *PWAVEFORMATEX, *NPWAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18 && alignof(WAVEFORMATEX) == 1, "WAVEFORMATEX layout");
static_assert(__builtin_offsetof(WAVEFORMATEX, nChannels) == 2, "WAVEFORMATEX.nChannels");
static_assert(__builtin_offsetof(WAVEFORMATEX, nSamplesPerSec) == 4, "WAVEFORMATEX rate");
static_assert(__builtin_offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8, "WAVEFORMATEX byte rate");
static_assert(__builtin_offsetof(WAVEFORMATEX, nBlockAlign) == 12, "WAVEFORMATEX.nBlockAlign");
static_assert(__builtin_offsetof(WAVEFORMATEX, wBitsPerSample) == 14, "WAVEFORMATEX bits");
static_assert(__builtin_offsetof(WAVEFORMATEX, cbSize) == 16, "WAVEFORMATEX.cbSize");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && alignof(WAVEFORMATEXTENSIBLE) == 1,
              "WAVEFORMATEXTENSIBLE layout");
static_assert(__builtin_offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18, "Samples offset");
static_assert(__builtin_offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20, "mask offset");
static_assert(__builtin_offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24, "SubFormat offset");

// ---- GUIDs ----
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_WAVEFORMATEX, 0x00000000, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa,
            0x00, 0x38, 0x9b, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00,
            0x38, 0x9b, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 0x00000003, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa,
            0x00, 0x38, 0x9b, 0x71);
