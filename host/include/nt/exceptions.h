// Structured exceptions on x64: the exception record, the processor context, the function
// table entries of an image and the dispatcher's context, with Windows's layouts, and the
// language handler the image's function tables name. The host dispatches exceptions raised into
// a Windows-built driver image this way; drivers built for the host never see a raise.
#pragma once
#include "../ntdef.h"
#include "../ntstatus.h"

#define EXCEPTION_NONCONTINUABLE 0x01
#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04
#define EXCEPTION_TARGET_UNWIND 0x20
#define EXCEPTION_COLLIDED_UNWIND 0x40
#define EXCEPTION_UNWIND (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)
#define EXCEPTION_MAXIMUM_PARAMETERS 15

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

typedef struct _EXCEPTION_RECORD {
    NTSTATUS ExceptionCode;
    ULONG ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    ULONG NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

typedef struct alignas(16) _M128A {
    ULONGLONG Low;
    LONGLONG High;
} M128A, *PM128A;

typedef struct alignas(16) _XSAVE_FORMAT {
    USHORT ControlWord;
    USHORT StatusWord;
    UCHAR TagWord;
    UCHAR Reserved1;
    USHORT ErrorOpcode;
    ULONG ErrorOffset;
    USHORT ErrorSelector;
    USHORT Reserved2;
    ULONG DataOffset;
    USHORT DataSelector;
    USHORT Reserved3;
    ULONG MxCsr;
    ULONG MxCsr_Mask;
    M128A FloatRegisters[8];
    M128A XmmRegisters[16];
    UCHAR Reserved4[96];
} XSAVE_FORMAT, XMM_SAVE_AREA32;

#define CONTEXT_AMD64 0x00100000L
#define CONTEXT_CONTROL (CONTEXT_AMD64 | 0x1L)
#define CONTEXT_INTEGER (CONTEXT_AMD64 | 0x2L)
#define CONTEXT_FLOATING_POINT (CONTEXT_AMD64 | 0x8L)

typedef struct alignas(16) _CONTEXT {
    ULONG64 P1Home, P2Home, P3Home, P4Home, P5Home, P6Home;
    ULONG ContextFlags;
    ULONG MxCsr;
    USHORT SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    ULONG EFlags;
    ULONG64 Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    ULONG64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    ULONG64 R8, R9, R10, R11, R12, R13, R14, R15;
    ULONG64 Rip;
    union {
        XMM_SAVE_AREA32 FltSave;
        struct {
            M128A Header[2];
            M128A Legacy[8];
            M128A Xmm0, Xmm1, Xmm2, Xmm3, Xmm4, Xmm5, Xmm6, Xmm7;
            M128A Xmm8, Xmm9, Xmm10, Xmm11, Xmm12, Xmm13, Xmm14, Xmm15;
        };
    };
    M128A VectorRegister[26];
    ULONG64 VectorControl;
    ULONG64 DebugControl;
    ULONG64 LastBranchToRip;
    ULONG64 LastBranchFromRip;
    ULONG64 LastExceptionToRip;
    ULONG64 LastExceptionFromRip;
} CONTEXT, *PCONTEXT;

static_assert(sizeof(EXCEPTION_RECORD) == 152, "EXCEPTION_RECORD is 152 bytes on x64");
static_assert(sizeof(CONTEXT) == 1232, "CONTEXT is 1232 bytes on x64");
static_assert(__builtin_offsetof(CONTEXT, Rax) == 0x78, "CONTEXT.Rax");
static_assert(__builtin_offsetof(CONTEXT, Rsp) == 0x98, "CONTEXT.Rsp");
static_assert(__builtin_offsetof(CONTEXT, Rip) == 0xF8, "CONTEXT.Rip");
static_assert(__builtin_offsetof(CONTEXT, Xmm6) == 0x200, "CONTEXT.Xmm6");
static_assert(__builtin_offsetof(CONTEXT, VectorControl) == 0x4A0, "CONTEXT.VectorControl");

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

// One entry of an image's function table (.pdata): addresses relative to the image base.
typedef struct _RUNTIME_FUNCTION {
    ULONG BeginAddress;
    ULONG EndAddress;
    ULONG UnwindData;
} RUNTIME_FUNCTION, *PRUNTIME_FUNCTION;
static_assert(sizeof(RUNTIME_FUNCTION) == 12, "RUNTIME_FUNCTION is 12 bytes");

typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3,
} EXCEPTION_DISPOSITION;

struct _DISPATCHER_CONTEXT;
typedef EXCEPTION_DISPOSITION NTAPI
EXCEPTION_ROUTINE(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame, PCONTEXT ContextRecord,
                  struct _DISPATCHER_CONTEXT* DispatcherContext);
typedef EXCEPTION_ROUTINE* PEXCEPTION_ROUTINE;

typedef struct _UNWIND_HISTORY_TABLE* PUNWIND_HISTORY_TABLE;

typedef struct _DISPATCHER_CONTEXT {
    ULONG64 ControlPc;
    ULONG64 ImageBase;
    PRUNTIME_FUNCTION FunctionEntry;
    ULONG64 EstablisherFrame;
    ULONG64 TargetIp;
    PCONTEXT ContextRecord;
    PEXCEPTION_ROUTINE LanguageHandler;
    PVOID HandlerData;
    PUNWIND_HISTORY_TABLE HistoryTable;
    ULONG ScopeIndex;
    ULONG Fill0;
} DISPATCHER_CONTEXT, *PDISPATCHER_CONTEXT;
static_assert(sizeof(DISPATCHER_CONTEXT) == 80, "DISPATCHER_CONTEXT is 80 bytes on x64");

// The language-specific data __C_specific_handler reads: the __try scopes of one function.
typedef struct _SCOPE_TABLE_AMD64 {
    ULONG Count;
    struct {
        ULONG BeginAddress;
        ULONG EndAddress;
        ULONG HandlerAddress; // a filter; 1 means "always handle"
        ULONG JumpTarget;     // 0 for a __finally block
    } ScopeRecord[1];
} SCOPE_TABLE_AMD64, *PSCOPE_TABLE_AMD64;

typedef LONG NTAPI EXCEPTION_FILTER(PEXCEPTION_POINTERS ExceptionPointers, PVOID EstablisherFrame);
typedef EXCEPTION_FILTER* PEXCEPTION_FILTER;
typedef VOID NTAPI TERMINATION_HANDLER(BOOLEAN AbnormalTermination, PVOID EstablisherFrame);
typedef TERMINATION_HANDLER* PTERMINATION_HANDLER;

EXTERN_C NTSYSAPI EXCEPTION_DISPOSITION NTAPI
__C_specific_handler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame,
                     PCONTEXT ContextRecord, PDISPATCHER_CONTEXT DispatcherContext);
