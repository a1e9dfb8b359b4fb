// Object manager and process-structure calls: object attributes, access rights, object types,
// references by handle and pointer, system threads, kernel handles and the current process.
// Declarations follow the Windows names, values and layouts; host/kernel implements them.
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"
#include "kernel.h"
#include "registry.h"

// ---- Bug checks of the object manager and process attach ----
#define INVALID_PROCESS_ATTACH_ATTEMPT 0x00000005
#define INVALID_PROCESS_DETACH_ATTEMPT 0x00000006
#define REFERENCE_BY_POINTER 0x00000018

// ---- Access rights ----
// The standard and generic rights and the object attributes come from the registry header, which
// needed them first; this header adds the rest.
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL

#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_DUP_HANDLE 0x0040
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// ---- Object types and references ----
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

EXTERN_C NTKERNELAPI POBJECT_TYPE* ExEventObjectType;
EXTERN_C NTKERNELAPI POBJECT_TYPE* PsThreadType;
EXTERN_C NTKERNELAPI POBJECT_TYPE* PsProcessType;
EXTERN_C NTKERNELAPI POBJECT_TYPE* IoFileObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

EXTERN_C NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(
    HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
    PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
EXTERN_C NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
EXTERN_C NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

// ---- Handles of the current process and thread ----
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
EXTERN_C NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                       PLARGE_INTEGER Timeout);

// ---- System threads ----
typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

EXTERN_C NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                         POBJECT_ATTRIBUTES ObjectAttributes,
                                                         HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                         PKSTART_ROUTINE StartRoutine,
                                                         PVOID StartContext);
// Does not return when called on a system thread; anywhere else it returns
// STATUS_INVALID_PARAMETER.
EXTERN_C NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
EXTERN_C NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
EXTERN_C NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);

// ---- The current process and thread ----
EXTERN_C NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID);
EXTERN_C NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID);
EXTERN_C NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
EXTERN_C NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
EXTERN_C NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
