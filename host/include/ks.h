// Kernel streaming: the base types, constants and GUIDs of ks.h for the host build.
#pragma once
#include "wdm.h"

// ---- Identifiers of property, method and event requests ----
// The Alignment member gives the Windows (MSVC) alignment of 8.
typedef union {
    struct {
        GUID Set;
        ULONG Id;
        ULONG Flags;
    };
    LONGLONG Alignment;
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8, "KSIDENTIFIER layout");
static_assert(__builtin_offsetof(KSIDENTIFIER, Id) == 16, "KSIDENTIFIER.Id offset");
static_assert(__builtin_offsetof(KSIDENTIFIER, Flags) == 20, "KSIDENTIFIER.Flags offset");

// ---- Data formats and ranges ----
#define KSDATAFORMAT_TEMPORAL_COMPRESSION 0x00000001
#define KSDATAFORMAT_ATTRIBUTES 0x00000002

// The MSVC branch of the Windows header: a union with a LONGLONG, so alignment 8.
typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8, "KSDATAFORMAT layout");
static_assert(__builtin_offsetof(KSDATAFORMAT, Flags) == 4, "KSDATAFORMAT.Flags offset");
static_assert(__builtin_offsetof(KSDATAFORMAT, SampleSize) == 8, "KSDATAFORMAT.SampleSize offset");
static_assert(__builtin_offsetof(KSDATAFORMAT, Reserved) == 12, "KSDATAFORMAT.Reserved offset");
static_assert(__builtin_offsetof(KSDATAFORMAT, MajorFormat) == 16, "KSDATAFORMAT.MajorFormat");
static_assert(__builtin_offsetof(KSDATAFORMAT, SubFormat) == 32, "KSDATAFORMAT.SubFormat offset");
static_assert(__builtin_offsetof(KSDATAFORMAT, Specifier) == 48, "KSDATAFORMAT.Specifier offset");

// ---- Lists of items (the attribute list that may follow a data format) ----
typedef struct {
    ULONG Size; // bytes of the whole list, this header included
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8 && alignof(KSMULTIPLE_ITEM) == 4,
              "KSMULTIPLE_ITEM layout");

typedef struct {
    ULONG Size; // bytes of this attribute, this header included
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;
static_assert(sizeof(KSATTRIBUTE) == 24, "KSATTRIBUTE layout");
static_assert(__builtin_offsetof(KSATTRIBUTE, Attribute) == 8, "KSATTRIBUTE.Attribute offset");

// ---- GUIDs ----
DEFINE_GUID(KSCATEGORY_RENDER, 0x65e8773e, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65e8773d, 0x8f56, 0x11d0, 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSDATAFORMAT_TYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_WILDCARD, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0f6417d6, 0xc318, 0x11d0, 0xa4, 0x3f, 0x00, 0xa0, 0xc9,
            0x22, 0x31, 0x96);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WILDCARD, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00, 0x00);
DEFINE_GUID(KSPROPSETID_Pin, 0x8c134960, 0x51ad, 0x11cf, 0x87, 0x8a, 0x94, 0xf8, 0x01, 0xc1, 0x00,
            0x00);
DEFINE_GUID(KSPROPSETID_Connection, 0x1d58c920, 0xac9b, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
DEFINE_GUID(KSEVENTSETID_PinCapsChange, 0xdd4f192e, 0x3b78, 0x49ad, 0xa5, 0x34, 0x2c, 0x31, 0x5b,
            0x82, 0x20, 0x00);
DEFINE_GUID(KSPROPTYPESETID_General, 0x97e99ba0, 0xbdea, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
DEFINE_GUID(KSINTERFACESETID_Standard, 0x1a8766a0, 0x62ce, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04,
            0xc1, 0x00, 0x00);
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747b320, 0x62ce, 0x11cf, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1,
            0x00, 0x00);
DEFINE_GUID(KSPROPSETID_General, 0x1464eda5, 0x6a8f, 0x11d1, 0x9a, 0xa7, 0x00, 0xa0, 0xc9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNAME_Pin, 0x146f1a80, 0x4791, 0x11d0, 0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00);
