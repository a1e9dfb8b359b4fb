// Faults inside image code (an access violation, a privileged or illegal instruction, a
// division by zero) stop the machine with a bug-check report that names the image's frames,
// instead of ending the process with a bare signal. Windows would first offer the fault to the
// image's own exception handlers; the only guarded call the driver makes is the user mapping,
// so the host takes the strict side and stops at once. Faults anywhere else go on to whatever
// handled the signal before.
#include "ImageFaults.h"

#include <signal.h>
#include <ucontext.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "BugCheck.h"
#include "ImageUnwind.h"
#include "PeImage.h"

namespace host {

namespace {

constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[sizeof(FaultSignals) / sizeof(FaultSignals[0])];

NTSTATUS StatusOf(int signal) {
    switch (signal) {
    case SIGILL:
        return STATUS_ILLEGAL_INSTRUCTION;
    case SIGFPE:
        return STATUS_INTEGER_DIVIDE_BY_ZERO;
    default:
        return STATUS_ACCESS_VIOLATION;
    }
}

void OnFault(int signal, siginfo_t* information, void* machineContext) {
    const auto* registers = static_cast<ucontext_t*>(machineContext)->uc_mcontext.gregs;
    const auto rip = static_cast<ULONG64>(registers[REG_RIP]);
    if (PeImage::Containing(rip) == nullptr) {
        for (size_t index = 0; index < sizeof(FaultSignals) / sizeof(FaultSignals[0]); ++index) {
            if (FaultSignals[index] == signal) {
                // Back to the earlier disposition; returning re-runs the faulting instruction.
                sigaction(signal, &previous[index], nullptr);
            }
        }
        return;
    }
    CONTEXT context{};
    context.Rip = rip;
    context.Rsp = static_cast<ULONG64>(registers[REG_RSP]);
    context.Rbp = static_cast<ULONG64>(registers[REG_RBP]);
    context.Rbx = static_cast<ULONG64>(registers[REG_RBX]);
    context.Rsi = static_cast<ULONG64>(registers[REG_RSI]);
    context.Rdi = static_cast<ULONG64>(registers[REG_RDI]);
    context.R12 = static_cast<ULONG64>(registers[REG_R12]);
    context.R13 = static_cast<ULONG64>(registers[REG_R13]);
    context.R14 = static_cast<ULONG64>(registers[REG_R14]);
    context.R15 = static_cast<ULONG64>(registers[REG_R15]);
    const auto address = reinterpret_cast<ULONG64>(information->si_addr);
    std::string frames;
    // The faulting instruction is not a return address: describe the byte after it.
    CONTEXT described = context;
    described.Rip += 1;
    for (const std::string& frame : DescribeImageFrames(described)) {
        frames += "\n    " + frame;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "0x%llx", address);
    const NTSTATUS status = StatusOf(signal);
    BugCheck(
        KMODE_EXCEPTION_NOT_HANDLED, ULONG(status), rip, 0, address,
        std::string(signal == SIGSEGV || signal == SIGBUS ? "access violation at " : "fault ") +
            text + " in image code; image frames:" + frames);
}

} // namespace

void ReportImageFaults() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        for (size_t index = 0; index < sizeof(FaultSignals) / sizeof(FaultSignals[0]); ++index) {
            sigaction(FaultSignals[index], &action, &previous[index]);
        }
    });
}

} // namespace host
