// Base types of the Windows kernel for the host build, with Windows widths: LONG and ULONG
// are 32 bits, WCHAR is 16 bits (the whole Linux build uses -fshort-wchar), pointers and
// ULONG_PTR are 64 bits. Only compiler builtins are used, so this header is usable both from
// driver code (built without any C or C++ library headers) and from host code.
#pragma once

#ifndef __cplusplus
#error "The host platform headers are C++ only"
#endif

static_assert(sizeof(void*) == 8, "Conduit is x86-64 only");
static_assert(sizeof(wchar_t) == 2, "Build with -fshort-wchar: Windows WCHAR is 16 bits");

// ---- Annotations and calling conventions ----
// x64 Windows has one calling convention, which its headers spell NTAPI, FASTCALL, ... and often
// leave unspelt. Here it is the Windows x64 convention, not Linux's, so that a driver built for
// Windows and one built for the host call the host (and the host calls them) the same way. Every
// routine or callback that crosses between the host and a driver carries one of these macros,
// including callback types whose Windows declaration leaves the convention implicit.
#define WINDOWS_X64_CALL __attribute__((ms_abi))
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define NTAPI WINDOWS_X64_CALL
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define FASTCALL WINDOWS_X64_CALL
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_SELECTANY __attribute__((weak))
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOTHROW
#define FORCEINLINE inline __attribute__((always_inline))
#define EXTERN_C extern "C"
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(size)
#define _Out_writes_(size)
#define _Out_writes_bytes_(size)
#define _Must_inspect_result_
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_(irql)
#define _Use_decl_annotations_
#define _Function_class_(name)
#define _Dispatch_type_(type)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define C_ASSERT(e) static_assert(e, #e)

// ---- Integer types ----
typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG64;
typedef unsigned long long ULONG64;
typedef unsigned long long DWORD64;
typedef long long INT_PTR;
typedef unsigned long long UINT_PTR;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef unsigned long long SIZE_T;
typedef __SIZE_TYPE__ size_t; // what the compiler's operator new takes
typedef long long SSIZE_T;
typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef float FLOAT;
typedef unsigned char BOOLEAN;
typedef int BOOL;
typedef wchar_t WCHAR;
typedef char CCHAR;
typedef short CSHORT;
typedef ULONG CLONG;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef void* HANDLE;
typedef ULONG LOGICAL;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef SHORT* PSHORT;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG64* PULONG64;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef BOOL* PBOOL;
typedef BYTE* PBYTE;
typedef WORD* PWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWCH;
typedef NTSTATUS* PNTSTATUS;
typedef HANDLE* PHANDLE;
typedef ACCESS_MASK* PACCESS_MASK;
typedef void* LPVOID;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "Windows LONG is 32 bits");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8, "x64 pointer-sized integers");
static_assert(sizeof(BOOLEAN) == 1 && sizeof(BOOL) == 4, "Windows boolean widths");

#ifndef NULL
#define NULL 0
#endif
#define TRUE 1
#define FALSE 0

#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUSHORT 0xFFFFu
#define MAXULONG_PTR (~(ULONG_PTR)0)
#define MAXULONGLONG (~(ULONGLONG)0)

// ---- Status ----
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

// ---- Structures ----
typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING is 16 bytes on x64");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER is 8 bytes");

// ---- GUIDs ----
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef GUID* PGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

#define FIELD_OFFSET(type, field) ((LONG) __builtin_offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)

typedef ULONG_PTR DWORD_PTR;

// ---- Locales ----
typedef ULONG LCID;
typedef PULONG PLCID;
#define LOCALE_NEUTRAL 0x0000
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define ANYSIZE_ARRAY 1

#include "guiddef_host.h"
