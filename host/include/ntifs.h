// The installable-file-system kit header for the host build: the NT driver kit plus the calls
// that run a thread in another process's address space.
#pragma once
#include "ntddk.h"

// Saved context of an attach; opaque to drivers, sized and aligned as on x64.
typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[2];
    PKPROCESS Process;
    UCHAR InProgressFlags;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
typedef struct _KPROCESS* PRKPROCESS;

static_assert(sizeof(KAPC_STATE) == 48, "KAPC_STATE is 48 bytes on x64");

EXTERN_C NTKERNELAPI VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
EXTERN_C NTKERNELAPI VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// A handle to an object the caller holds by pointer: OBJ_KERNEL_HANDLE puts it in the kernel's
// table. The host supports process and thread objects (no access state is modelled).
typedef struct _ACCESS_STATE* PACCESS_STATE;
EXTERN_C NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(
    PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
    ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle);
