// Kernel core: IRQL, spin locks, dispatcher objects (events, mutexes), waits, threads, the
// performance counter, pool, bug checks, the debugger flag and intrinsics. Declarations follow
// the Windows names, values and layouts; host/kernel implements them with Windows semantics.
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"

// ---- Memory helpers (macros and inlines as in the DDK; the large cases call the C library) ----
#define RtlCopyMemory(Destination, Source, Length)                                                 \
    __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)                                                 \
    __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length)                                                \
    (!__builtin_memcmp((Destination), (Source), (Length)))
EXTERN_C NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2,
                                                SIZE_T Length);

// ---- Interlocked operations (compiler intrinsics on Windows) ----
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)

// ---- Processor mode, IRQL ----
typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode = 2 } MODE;

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

EXTERN_C NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
EXTERN_C NTHALAPI VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
EXTERN_C NTHALAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);

// ---- Spin locks ----
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
EXTERN_C NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
EXTERN_C NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
EXTERN_C NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// ---- Threads and processes (opaque to drivers) ----
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _KPROCESS* PKPROCESS;
typedef struct _EPROCESS* PEPROCESS;
typedef LONG KPRIORITY;
EXTERN_C NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

// ---- Dispatcher objects ----
typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        volatile LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

// Values of DISPATCHER_HEADER.Type.
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

static_assert(sizeof(DISPATCHER_HEADER) == 24, "DISPATCHER_HEADER is 24 bytes on x64");
static_assert(sizeof(KEVENT) == 24, "KEVENT is 24 bytes on x64");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX is 56 bytes on x64");

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

EXTERN_C NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
EXTERN_C NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
EXTERN_C NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
EXTERN_C NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
EXTERN_C NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);
EXTERN_C NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
EXTERN_C NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
EXTERN_C NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                          KPROCESSOR_MODE WaitMode,
                                                          BOOLEAN Alertable,
                                                          PLARGE_INTEGER Timeout);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode,
                                                           BOOLEAN Alertable,
                                                           PLARGE_INTEGER Interval);
#define KeWaitForMutexObject KeWaitForSingleObject

// ---- Time ----
EXTERN_C NTHALAPI LARGE_INTEGER NTAPI
KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
EXTERN_C NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// ---- Pool ----
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

EXTERN_C NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
EXTERN_C NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                       ULONG Tag);
EXTERN_C NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
EXTERN_C NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---- Bug checks and the debugger ----
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define THREAD_NOT_MUTEX_OWNER 0x00000011
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1
#define DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS 0x000000CB
#define NO_MORE_SYSTEM_PTES 0x0000003F
#define DRIVER_OVERRAN_STACK_BUFFER 0x000000F7
#define TARGET_MDL_TOO_SMALL 0x00000040

EXTERN_C NTKERNELAPI __attribute__((noreturn)) VOID NTAPI KeBugCheckEx(ULONG BugCheckCode,
                                                                       ULONG_PTR Parameter1,
                                                                       ULONG_PTR Parameter2,
                                                                       ULONG_PTR Parameter3,
                                                                       ULONG_PTR Parameter4);

EXTERN_C NTKERNELAPI BOOLEAN KdDebuggerEnabled;
EXTERN_C NTKERNELAPI BOOLEAN KdDebuggerNotPresent;
#define KD_DEBUGGER_ENABLED KdDebuggerEnabled
#define KD_DEBUGGER_NOT_PRESENT KdDebuggerNotPresent
EXTERN_C NTSYSAPI VOID NTAPI DbgBreakPoint(VOID);
#define KdBreakPoint() DbgBreakPoint()

// ---- Version ----
typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW,
    *PRTL_OSVERSIONINFOEXW;

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW is 276 bytes");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW is 284 bytes");

EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
// The address of a routine the running kernel exports, or NULL where it has none (a routine
// newer than the kernel): how a driver calls what only later versions of Windows offer.
EXTERN_C NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
