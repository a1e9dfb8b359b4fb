// mingw-w64 implementation of MapLockedPagesGuarded (GuardedMapping.h). g++ has no __try, so
// the routine carries its own scope table: __C_specific_handler consults it when the guarded
// call raises, runs the filter, unwinds to the routine's frame and jumps to the target.
//
// The callee is MmMapLockedPagesSpecifyCache; the Wine test twin assembles this same file with
// CONDUIT_GUARDED_CALLEE naming a function pointer of its own instead.
#ifndef CONDUIT_GUARDED_CALLEE
#define CONDUIT_GUARDED_CALLEE __imp_MmMapLockedPagesSpecifyCache
#endif

// Frame after the prologue (rsp = establisher frame; 16-byte aligned at the call):
//   0..31   home area of the callee
//   32, 40  callee arguments 5 and 6 (BugCheckOnFailure, Priority)
//   48      exception code written by the filter
//   72      return address; 80..111 our own home area; 112, 120, 128 our arguments 5, 6, 7
#define FRAME_SIZE 72
#define CODE_SLOT 48
#define ARG_BUGCHECK (FRAME_SIZE + 8 + 32)
#define ARG_PRIORITY (FRAME_SIZE + 8 + 40)
#define ARG_MAPPED (FRAME_SIZE + 8 + 48)

    .text
    .p2align 4
    .globl MapLockedPagesGuarded
    .def MapLockedPagesGuarded; .scl 2; .type 32; .endef
    .seh_proc MapLockedPagesGuarded
MapLockedPagesGuarded:
    subq $FRAME_SIZE, %rsp
    .seh_stackalloc FRAME_SIZE
    .seh_endprologue
    movl $0, CODE_SLOT(%rsp)
    movq ARG_MAPPED(%rsp), %rax
    movq $0, (%rax)
    // 32-bit arguments: zero-extend so the callee sees clean slots.
    movl ARG_BUGCHECK(%rsp), %eax
    movq %rax, 32(%rsp)
    movl ARG_PRIORITY(%rsp), %eax
    movq %rax, 40(%rsp)
    // rcx, rdx, r8, r9 still hold the first four arguments, in the callee's order.
MapLockedPagesGuarded_begin:
    call *CONDUIT_GUARDED_CALLEE(%rip)
    // The return address must stay inside the scope: the dispatcher tests it, not the call.
    nop
MapLockedPagesGuarded_end:
    movq ARG_MAPPED(%rsp), %rcx
    movq %rax, (%rcx)
    xorl %eax, %eax
    addq $FRAME_SIZE, %rsp
    ret

    // Reached by the unwinder with rsp at the establisher frame; RAX is not the code here.
MapLockedPagesGuarded_except:
    movq ARG_MAPPED(%rsp), %rcx
    movq $0, (%rcx)
    movl CODE_SLOT(%rsp), %eax
    addq $FRAME_SIZE, %rsp
    ret

    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva MapLockedPagesGuarded_begin
    .rva MapLockedPagesGuarded_end
    .rva MapLockedPagesGuardedFilter
    .rva MapLockedPagesGuarded_except
    .text
    .seh_endproc

// The scope's filter, called as filter(EXCEPTION_POINTERS*, establisher frame): keeps the
// exception code in the guarded routine's frame and asks for the handler to run.
    .p2align 4
    .def MapLockedPagesGuardedFilter; .scl 3; .type 32; .endef
    .seh_proc MapLockedPagesGuardedFilter
MapLockedPagesGuardedFilter:
    .seh_endprologue
    movq (%rcx), %rax
    movl (%rax), %eax
    movl %eax, CODE_SLOT(%rdx)
    movl $1, %eax
    ret
    .seh_endproc
