// Object manager and process-structure calls: object attributes, access rights, object types,
// references by handle and pointer, system threads, kernel handles and the current process.
// Declarations follow the Windows names, values and layouts; host/kernel implements them.
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"
#include "kernel.h"

// ---- Bug checks of the object manager and process attach ----
#define INVALID_PROCESS_ATTACH_ATTEMPT 0x00000005
#define INVALID_PROCESS_DETACH_ATTEMPT 0x00000006
#define REFERENCE_BY_POINTER 0x00000018
#define INVALID_KERNEL_HANDLE 0x00000093

// ---- Access rights ----
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

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

// ---- Object attributes ----
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_IGNORE_IMPERSONATED_DEVICEMAP 0x00000800L
#define OBJ_DONT_REPARSE 0x00001000L
#define OBJ_VALID_ATTRIBUTES 0x00001FF2L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES is 48 bytes on x64");
static_assert(__builtin_offsetof(OBJECT_ATTRIBUTES, Attributes) == 24, "Attributes offset");

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    do {                                                                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = NULL;                                                      \
    } while (0)

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
