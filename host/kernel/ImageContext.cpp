// Capturing and restoring an x64 CONTEXT around image code, in assembly because no compiled
// function can promise to leave the caller's registers untouched.
//
// HostImageRaiseTrampoline is where a host routine "returns" when it raises into its image
// caller (RaiseInImageCaller put its address over the routine's return address). It runs with
// exactly the caller's state after the call: the callee-saved registers as the image left them,
// RSP as the caller's after the return. It stores them as a CONTEXT on the stack below the
// caller's frame (which x64 Windows code never keeps data in) and hands it to the dispatcher.
//
// HostRestoreContext resumes a CONTEXT: every integer and vector register, MXCSR, RSP and RIP.
// The last two words go onto the target stack (just below its RSP, free by the same rule), so
// nothing is read from the old stack after RSP moves.
#include "ImageContextAsm.h"

static_assert(__builtin_offsetof(CONTEXT, MxCsr) == 0x34);
static_assert(__builtin_offsetof(CONTEXT, Rax) == 0x78);
static_assert(__builtin_offsetof(CONTEXT, Rcx) == 0x80);
static_assert(__builtin_offsetof(CONTEXT, Rdx) == 0x88);
static_assert(__builtin_offsetof(CONTEXT, Rbx) == 0x90);
static_assert(__builtin_offsetof(CONTEXT, Rsp) == 0x98);
static_assert(__builtin_offsetof(CONTEXT, Rbp) == 0xA0);
static_assert(__builtin_offsetof(CONTEXT, Rsi) == 0xA8);
static_assert(__builtin_offsetof(CONTEXT, Rdi) == 0xB0);
static_assert(__builtin_offsetof(CONTEXT, R8) == 0xB8);
static_assert(__builtin_offsetof(CONTEXT, R15) == 0xF0);
static_assert(__builtin_offsetof(CONTEXT, Rip) == 0xF8);
static_assert(__builtin_offsetof(CONTEXT, Xmm0) == 0x1A0);
static_assert(sizeof(CONTEXT) == 0x4D0);

// clang-format off
asm(R"(
    .text
    .p2align 4
    .globl HostImageRaiseTrampoline
    .hidden HostImageRaiseTrampoline
    .type HostImageRaiseTrampoline, @function
HostImageRaiseTrampoline:
    subq $0x4d0, %rsp
    movq %rax, 0x78(%rsp)
    movq %rcx, 0x80(%rsp)
    movq %rdx, 0x88(%rsp)
    movq %rbx, 0x90(%rsp)
    movq %rbp, 0xa0(%rsp)
    movq %rsi, 0xa8(%rsp)
    movq %rdi, 0xb0(%rsp)
    movq %r8, 0xb8(%rsp)
    movq %r9, 0xc0(%rsp)
    movq %r10, 0xc8(%rsp)
    movq %r11, 0xd0(%rsp)
    movq %r12, 0xd8(%rsp)
    movq %r13, 0xe0(%rsp)
    movq %r14, 0xe8(%rsp)
    movq %r15, 0xf0(%rsp)
    leaq 0x4d0(%rsp), %rax
    movq %rax, 0x98(%rsp)
    stmxcsr 0x34(%rsp)
    movups %xmm0, 0x1a0(%rsp)
    movups %xmm1, 0x1b0(%rsp)
    movups %xmm2, 0x1c0(%rsp)
    movups %xmm3, 0x1d0(%rsp)
    movups %xmm4, 0x1e0(%rsp)
    movups %xmm5, 0x1f0(%rsp)
    movups %xmm6, 0x200(%rsp)
    movups %xmm7, 0x210(%rsp)
    movups %xmm8, 0x220(%rsp)
    movups %xmm9, 0x230(%rsp)
    movups %xmm10, 0x240(%rsp)
    movups %xmm11, 0x250(%rsp)
    movups %xmm12, 0x260(%rsp)
    movups %xmm13, 0x270(%rsp)
    movups %xmm14, 0x280(%rsp)
    movups %xmm15, 0x290(%rsp)
    movq %rsp, %rdi
    call HostDispatchImageRaise
    ud2
    .size HostImageRaiseTrampoline, .-HostImageRaiseTrampoline

    .p2align 4
    .globl HostRestoreContext
    .hidden HostRestoreContext
    .type HostRestoreContext, @function
HostRestoreContext:
    movq 0x98(%rdi), %rax
    subq $16, %rax
    movq 0xf8(%rdi), %rdx
    movq %rdx, 8(%rax)
    movq 0xb0(%rdi), %rdx
    movq %rdx, (%rax)
    movq %rax, 0x98(%rdi)
    ldmxcsr 0x34(%rdi)
    movups 0x1a0(%rdi), %xmm0
    movups 0x1b0(%rdi), %xmm1
    movups 0x1c0(%rdi), %xmm2
    movups 0x1d0(%rdi), %xmm3
    movups 0x1e0(%rdi), %xmm4
    movups 0x1f0(%rdi), %xmm5
    movups 0x200(%rdi), %xmm6
    movups 0x210(%rdi), %xmm7
    movups 0x220(%rdi), %xmm8
    movups 0x230(%rdi), %xmm9
    movups 0x240(%rdi), %xmm10
    movups 0x250(%rdi), %xmm11
    movups 0x260(%rdi), %xmm12
    movups 0x270(%rdi), %xmm13
    movups 0x280(%rdi), %xmm14
    movups 0x290(%rdi), %xmm15
    movq 0x78(%rdi), %rax
    movq 0x80(%rdi), %rcx
    movq 0x88(%rdi), %rdx
    movq 0x90(%rdi), %rbx
    movq 0xa0(%rdi), %rbp
    movq 0xa8(%rdi), %rsi
    movq 0xb8(%rdi), %r8
    movq 0xc0(%rdi), %r9
    movq 0xc8(%rdi), %r10
    movq 0xd0(%rdi), %r11
    movq 0xd8(%rdi), %r12
    movq 0xe0(%rdi), %r13
    movq 0xe8(%rdi), %r14
    movq 0xf0(%rdi), %r15
    movq 0x98(%rdi), %rsp
    popq %rdi
    ret
    .size HostRestoreContext, .-HostRestoreContext
)");
// clang-format on
