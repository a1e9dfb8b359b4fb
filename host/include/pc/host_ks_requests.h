// Kernel-streaming request records that callers of a filter build: the control codes, the
// event-enabling data and the pin replies the port answers itself (ks.h), Windows x64 layouts.
#pragma once

#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_ENABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_DISABLE_EVENT CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)

#define KSEVENTF_EVENT_HANDLE 0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT 0x00000004
#define KSEVENTF_SEMAPHORE_OBJECT 0x00000008
#define KSEVENTF_DPC 0x00000010
#define KSEVENTF_WORKITEM 0x00000020
#define KSEVENTF_KSWORKITEM 0x00000080

#define KSDATARANGE_ATTRIBUTES KSDATAFORMAT_ATTRIBUTES

typedef struct {
    ULONG NotificationType;
    union {
        struct {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct {
            HANDLE Semaphore;
            ULONG Reserved;
            LONG Adjustment;
        } SemaphoreHandle;
        struct {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;

typedef struct {
    KSEVENT Event;
    ULONG PinId;
    ULONG Reserved;
} KSE_PIN, *PKSE_PIN;

typedef struct {
    ULONG PossibleCount;
    ULONG CurrentCount;
} KSPIN_CINSTANCES, *PKSPIN_CINSTANCES;

typedef struct {
    ULONG Size;
    ULONG Pin;
    WCHAR SymbolicLinkName[1];
} KSPIN_PHYSICALCONNECTION, *PKSPIN_PHYSICALCONNECTION;

static_assert(IOCTL_KS_PROPERTY == 0x2F0003 && IOCTL_KS_ENABLE_EVENT == 0x2F0007 &&
                  IOCTL_KS_DISABLE_EVENT == 0x2F000B && IOCTL_KS_METHOD == 0x2F000F,
              "kernel-streaming control codes");
static_assert(sizeof(KSEVENTDATA) == 32 && alignof(KSEVENTDATA) == 8, "KSEVENTDATA layout");
static_assert(__builtin_offsetof(KSEVENTDATA, EventHandle) == 8, "KSEVENTDATA.EventHandle");
static_assert(sizeof(KSE_PIN) == 32 && __builtin_offsetof(KSE_PIN, PinId) == 24, "KSE_PIN");
static_assert(sizeof(KSPIN_CINSTANCES) == 8, "KSPIN_CINSTANCES layout");
static_assert(sizeof(KSPIN_PHYSICALCONNECTION) == 12 &&
                  __builtin_offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) == 8,
              "KSPIN_PHYSICALCONNECTION layout");
