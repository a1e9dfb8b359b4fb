// Exception dispatch for image code, after the Windows x64 kernel's: walk the image frames from
// the raise outward through their function tables, call each language handler that applies,
// and when one takes the exception unwind to its target, running the unwind handlers of the
// frames in between. Frames are never crossed into host code: an exception that reaches a host
// frame (the host's call into the image) is unhandled, and Windows stops with a bug check.
//
// Choices where Windows leaves room: the host raises only non-continuable exceptions (as
// ExRaiseStatus does), a raise while another is being dispatched on the thread is a bug check
// rather than a nested dispatch, and a handler's nested or collided-unwind answer is a bug check.
//
// The dispatcher and the unwinder end by jumping into image code, abandoning their own frames,
// so nothing they hold at that point may own memory or a lock.
#include "ImageExceptions.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BugCheck.h"
#include "CallStack.h"
#include "ImageContextAsm.h"
#include "ImageUnwind.h"
#include "PeFormat.h"
#include "PeImage.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_handle_no_return();
#endif

namespace host {

namespace {

struct ThreadDispatch {
    bool raisePending = false;
    ULONG64 returnAddress = 0;
    NTSTATUS status = STATUS_SUCCESS;
    bool dispatching = false;
    CONTEXT raiseContext{};
    EXCEPTION_RECORD record{};
};

thread_local ThreadDispatch dispatch;

std::string Hex(ULONG64 value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", value);
    return text;
}

std::string Frames(const CONTEXT& context) {
    std::string text;
    for (const std::string& frame : DescribeImageFrames(context)) {
        text += "\n    " + frame;
    }
    return text;
}

[[noreturn]] void Stop(const std::string& why) {
    const EXCEPTION_RECORD& record = dispatch.record;
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED, ULONG(record.ExceptionCode),
             reinterpret_cast<ULONG_PTR>(record.ExceptionAddress), 0, 0,
             "exception " + Hex(ULONG(record.ExceptionCode)) + " raised in image code: " + why +
                 "; image frames from the raise:" + Frames(dispatch.raiseContext));
}

DISPATCHER_CONTEXT DispatcherContext(const PeImage& image, const CONTEXT& frameContext,
                                     const UnwindStep& step, CONTEXT* callerContext) {
    DISPATCHER_CONTEXT context{};
    context.ControlPc = frameContext.Rip;
    context.ImageBase = image.Base();
    context.FunctionEntry = const_cast<PRUNTIME_FUNCTION>(step.function);
    context.EstablisherFrame = step.establisherFrame;
    context.ContextRecord = callerContext;
    context.LanguageHandler = step.handler;
    context.HandlerData = step.handlerData;
    return context;
}

// One step outward from context (the frame of image code at context->Rip), checked as the
// Windows dispatcher checks it.
const PeImage* Step(CONTEXT* context, unsigned handlerFlags, UnwindStep* step) {
    const PeImage* image = PeImage::Containing(context->Rip);
    if (image == nullptr) {
        Stop("no handler took it before it reached host code at " +
             DescribeFrame(reinterpret_cast<void*>(context->Rip)));
    }
    std::string problem;
    if (!VirtualUnwind(*image, handlerFlags, context, step, &problem)) {
        Stop("unwinding " + image->DescribeAddress(context->Rip) + " failed: " + problem);
    }
    if (step->establisherFrame % 8 != 0 || !OnThreadStack(step->establisherFrame, 8)) {
        Stop("a frame's establisher " + Hex(step->establisherFrame) +
             " is not on the thread's stack");
    }
    return image;
}

[[noreturn]] void Dispatch() {
    CONTEXT context = dispatch.raiseContext;
    for (;;) {
        const CONTEXT frameContext = context;
        UnwindStep step;
        const PeImage* image = Step(&context, pe::UNW_FLAG_EHANDLER, &step);
        if (step.handler == nullptr) {
            continue;
        }
        DISPATCHER_CONTEXT dispatcherContext =
            DispatcherContext(*image, frameContext, step, &context);
        EXCEPTION_DISPOSITION disposition =
            step.handler(&dispatch.record, reinterpret_cast<PVOID>(step.establisherFrame),
                         &dispatch.raiseContext, &dispatcherContext);
        switch (disposition) {
        case ExceptionContinueSearch:
            continue;
        case ExceptionContinueExecution:
            Stop("a handler asked to continue after a non-continuable exception");
        default:
            Stop("a handler answered " + std::to_string(int(disposition)) +
                 " (nested exceptions and collided unwinds are not supported)");
        }
    }
}

// What RtlUnwindEx does for __C_specific_handler: unwind from the raise to targetFrame, calling
// every unwind handler on the way, and resume at targetIp in that frame.
[[noreturn]] void UnwindTo(ULONG64 targetFrame, ULONG64 targetIp, PEXCEPTION_RECORD record,
                           ULONG64 returnValue) {
    if (!dispatch.dispatching || record != &dispatch.record) {
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, ULONG(record->ExceptionCode), targetIp, 0, 0,
                 "an unwind outside the dispatch of the exception it names");
    }
    record->ExceptionFlags |= EXCEPTION_UNWINDING;
    CONTEXT context = dispatch.raiseContext;
    for (;;) {
        CONTEXT frameContext = context;
        UnwindStep step;
        const PeImage* image = Step(&context, pe::UNW_FLAG_UHANDLER, &step);
        if (step.establisherFrame > targetFrame) {
            Stop("the unwind passed its target frame " + Hex(targetFrame));
        }
        const bool target = step.establisherFrame == targetFrame;
        if (step.handler != nullptr) {
            record->ExceptionFlags |= target ? EXCEPTION_TARGET_UNWIND : 0;
            DISPATCHER_CONTEXT dispatcherContext =
                DispatcherContext(*image, frameContext, step, &context);
            dispatcherContext.TargetIp = targetIp;
            EXCEPTION_DISPOSITION disposition =
                step.handler(record, reinterpret_cast<PVOID>(step.establisherFrame), &frameContext,
                             &dispatcherContext);
            if (disposition != ExceptionContinueSearch) {
                Stop("an unwind handler answered " + std::to_string(int(disposition)));
            }
        }
        if (target) {
            frameContext.Rip = targetIp;
            frameContext.Rax = returnValue;
            dispatch.dispatching = false;
#if defined(__SANITIZE_ADDRESS__)
            // The frames abandoned here never unpoison their stack areas themselves.
            __asan_handle_no_return();
#endif
            HostRestoreContext(&frameContext);
        }
    }
}

} // namespace

bool CalledFromImage(const void* returnAddress) {
    return PeImage::Containing(reinterpret_cast<std::uintptr_t>(returnAddress)) != nullptr;
}

bool RaiseInImageCaller(void* frame, void* returnAddress, NTSTATUS status) {
    auto** slot = reinterpret_cast<void**>(static_cast<char*>(frame) + sizeof(void*));
    if (*slot != returnAddress) {
        std::fprintf(stderr, "host: RaiseInImageCaller given a frame without a frame pointer\n");
        std::abort();
    }
    if (!CalledFromImage(returnAddress)) {
        return false;
    }
    if (dispatch.raisePending || dispatch.dispatching) {
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, ULONG(status),
                 reinterpret_cast<ULONG_PTR>(returnAddress), 0, 0,
                 "an exception raised while another is being dispatched on the same thread");
    }
    dispatch.raisePending = true;
    dispatch.returnAddress = reinterpret_cast<ULONG64>(returnAddress);
    dispatch.status = status;
    *slot = reinterpret_cast<void*>(&HostImageRaiseTrampoline);
    return true;
}

} // namespace host

using host::dispatch;

extern "C" void HostDispatchImageRaise(CONTEXT* context) {
    context->Rip = dispatch.returnAddress;
    context->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_FLOATING_POINT;
    dispatch.raisePending = false;
    dispatch.dispatching = true;
    dispatch.raiseContext = *context;
    dispatch.record = EXCEPTION_RECORD{};
    dispatch.record.ExceptionCode = dispatch.status;
    dispatch.record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    dispatch.record.ExceptionAddress = reinterpret_cast<PVOID>(context->Rip);
    host::Dispatch();
}

extern "C" EXCEPTION_DISPOSITION NTAPI __C_specific_handler(PEXCEPTION_RECORD ExceptionRecord,
                                                            PVOID EstablisherFrame,
                                                            PCONTEXT ContextRecord,
                                                            PDISPATCHER_CONTEXT DispatcherContext) {
    const auto* scopes = static_cast<const SCOPE_TABLE_AMD64*>(DispatcherContext->HandlerData);
    const ULONG64 base = DispatcherContext->ImageBase;
    const ULONG64 pc = DispatcherContext->ControlPc - base;
    const bool unwinding = (ExceptionRecord->ExceptionFlags & EXCEPTION_UNWIND) != 0;
    for (ULONG index = DispatcherContext->ScopeIndex; index < scopes->Count; ++index) {
        const auto& scope = scopes->ScopeRecord[index];
        if (pc < scope.BeginAddress || pc >= scope.EndAddress) {
            continue;
        }
        if (!unwinding) {
            if (scope.JumpTarget == 0) {
                continue; // a __finally block: runs only while unwinding
            }
            LONG verdict = EXCEPTION_EXECUTE_HANDLER;
            if (scope.HandlerAddress != 1) {
                EXCEPTION_POINTERS pointers{ExceptionRecord, ContextRecord};
                verdict = reinterpret_cast<PEXCEPTION_FILTER>(base + scope.HandlerAddress)(
                    &pointers, EstablisherFrame);
            }
            if (verdict < 0) {
                return ExceptionContinueExecution;
            }
            if (verdict > 0) {
                host::UnwindTo(reinterpret_cast<ULONG64>(EstablisherFrame), base + scope.JumpTarget,
                               ExceptionRecord, ULONG64(ULONG(ExceptionRecord->ExceptionCode)));
            }
            continue;
        }
        if (scope.JumpTarget != 0) {
            // An __except block is not run on the way; reaching the target's own ends the walk.
            if ((ExceptionRecord->ExceptionFlags & EXCEPTION_TARGET_UNWIND) != 0 &&
                DispatcherContext->TargetIp == base + scope.JumpTarget) {
                break;
            }
            continue;
        }
        DispatcherContext->ScopeIndex = index + 1;
        reinterpret_cast<PTERMINATION_HANDLER>(base + scope.HandlerAddress)(TRUE, EstablisherFrame);
    }
    return ExceptionContinueSearch;
}
