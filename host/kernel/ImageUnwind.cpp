// The x64 virtual unwinder over an image's unwind codes, and stack walks for reports. Every
// stack read is checked against the thread's stack first: a corrupt frame ends a walk (or fails
// a dispatch) instead of faulting inside the host.
//
// Unwinding starts from a call's return address, never from inside an epilogue, so epilogues
// are not recognised (the Windows unwinder disassembles them): a report from a fault inside an
// epilogue may show one wrong caller.
#include "ImageUnwind.h"

#include <pthread.h>
#include <unwind.h>

#include <cstring>

#include "CallStack.h"
#include "PeFormat.h"
#include "PeImage.h"

namespace host {

namespace {

struct StackRange {
    ULONG64 low = 0;
    ULONG64 high = 0;
};

StackRange ThreadStack() {
    thread_local StackRange range;
    if (range.high == 0) {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            size_t bytes = 0;
            if (pthread_attr_getstack(&attributes, &low, &bytes) == 0) {
                range.low = reinterpret_cast<ULONG64>(low);
                range.high = range.low + bytes;
            }
            pthread_attr_destroy(&attributes);
        }
    }
    return range;
}

bool ReadStack(ULONG64 address, void* value, ULONG64 bytes) {
    if (!OnThreadStack(address, bytes)) {
        return false;
    }
    std::memcpy(value, reinterpret_cast<const void*>(address), bytes);
    return true;
}

ULONG64& IntegerRegister(CONTEXT* context, unsigned number) {
    // The unwind codes number registers in the order CONTEXT stores them: RAX, RCX, RDX, RBX,
    // RSP, RBP, RSI, RDI, R8..R15.
    return (&context->Rax)[number];
}

unsigned SlotsOf(unsigned operation, unsigned info) {
    switch (operation) {
    case pe::UWOP_ALLOC_LARGE:
        return info == 0 ? 2 : 3;
    case pe::UWOP_SAVE_NONVOL:
    case pe::UWOP_SAVE_XMM128:
    case pe::UWOP_EPILOG:
        return 2;
    case pe::UWOP_SAVE_NONVOL_FAR:
    case pe::UWOP_SAVE_XMM128_FAR:
    case pe::UWOP_SPARE_CODE:
        return 3;
    default:
        return 1;
    }
}

const pe::UNWIND_INFO* InfoAt(const PeImage& image, ULONG rva, std::string* problem) {
    if (rva + 4ull > image.Size()) {
        *problem = "unwind data outside the image";
        return nullptr;
    }
    auto info = reinterpret_cast<const pe::UNWIND_INFO*>(image.Base() + rva);
    const unsigned version = info->VersionAndFlags & 0x7;
    const ULONG64 bytes = 4 + 2 * ((info->CountOfCodes + 1u) & ~1u) + 12;
    if ((version != 1 && version != 2) || rva + bytes > image.Size()) {
        *problem = "malformed unwind data";
        return nullptr;
    }
    return info;
}

// Undoes the prologue that info describes. prologOffset is how far into the function control
// is; codes for prologue instructions not yet run are skipped.
bool ApplyCodes(const pe::UNWIND_INFO* info, ULONG64 prologOffset, ULONG64 frame, CONTEXT* context,
                bool* machineFrame, std::string* problem) {
    const unsigned frameRegister = info->FrameRegisterAndOffset & 0xF;
    const ULONG64 frameOffset = (info->FrameRegisterAndOffset >> 4) * 16ull;
    const std::uint16_t* codes = info->UnwindCode;
    for (unsigned index = 0; index < info->CountOfCodes;) {
        const unsigned codeOffset = codes[index] & 0xFF;
        const unsigned operation = (codes[index] >> 8) & 0xF;
        const unsigned operationInfo = codes[index] >> 12;
        const unsigned slots = SlotsOf(operation, operationInfo);
        if (index + slots > info->CountOfCodes) {
            *problem = "unwind code runs past its array";
            return false;
        }
        if (codeOffset > prologOffset) {
            index += slots;
            continue;
        }
        ULONG64 far32 = slots == 3 ? (codes[index + 1] | ULONG64(codes[index + 2]) << 16) : 0;
        bool ok = true;
        switch (operation) {
        case pe::UWOP_PUSH_NONVOL:
            ok = ReadStack(context->Rsp, &IntegerRegister(context, operationInfo), 8);
            context->Rsp += 8;
            break;
        case pe::UWOP_ALLOC_LARGE:
            context->Rsp += operationInfo == 0 ? codes[index + 1] * 8ull : far32;
            break;
        case pe::UWOP_ALLOC_SMALL:
            context->Rsp += operationInfo * 8ull + 8;
            break;
        case pe::UWOP_SET_FPREG:
            context->Rsp = IntegerRegister(context, frameRegister) - frameOffset;
            break;
        case pe::UWOP_SAVE_NONVOL:
        case pe::UWOP_SAVE_NONVOL_FAR: {
            ULONG64 at = frame + (slots == 2 ? codes[index + 1] * 8ull : far32);
            ok = ReadStack(at, &IntegerRegister(context, operationInfo), 8);
            break;
        }
        case pe::UWOP_SAVE_XMM128:
        case pe::UWOP_SAVE_XMM128_FAR: {
            ULONG64 at = frame + (slots == 2 ? codes[index + 1] * 16ull : far32);
            ok = ReadStack(at, &(&context->Xmm0)[operationInfo], 16);
            break;
        }
        case pe::UWOP_PUSH_MACHFRAME: {
            ULONG64 top = context->Rsp + (operationInfo != 0 ? 8 : 0);
            ok = ReadStack(top, &context->Rip, 8) && ReadStack(top + 24, &context->Rsp, 8);
            *machineFrame = true;
            break;
        }
        case pe::UWOP_EPILOG:
        case pe::UWOP_SPARE_CODE:
            break; // epilogue descriptions: nothing to undo from the body
        default:
            *problem = "unknown unwind operation " + std::to_string(operation);
            return false;
        }
        if (!ok) {
            *problem = "unwinding read outside the thread's stack";
            return false;
        }
        index += slots;
    }
    return true;
}

} // namespace

bool OnThreadStack(ULONG64 address, ULONG64 bytes) {
    StackRange range = ThreadStack();
    return address >= range.low && address <= range.high && range.high - address >= bytes;
}

bool VirtualUnwind(const PeImage& image, unsigned handlerFlags, CONTEXT* context, UnwindStep* step,
                   std::string* problem) {
    *step = UnwindStep();
    const ULONG64 controlPc = context->Rip;
    const RUNTIME_FUNCTION* function = image.FunctionEntry(controlPc);
    if (function == nullptr) {
        // A leaf function: nothing pushed, the return address on top of the stack.
        step->establisherFrame = context->Rsp;
        if (!ReadStack(context->Rsp, &context->Rip, 8)) {
            *problem = "leaf frame's return address outside the thread's stack";
            return false;
        }
        context->Rsp += 8;
        return true;
    }
    step->function = function;
    const ULONG64 offset = controlPc - (image.Base() + function->BeginAddress);
    const pe::UNWIND_INFO* info = InfoAt(image, function->UnwindData, problem);
    if (info == nullptr) {
        return false;
    }
    const unsigned flags = info->VersionAndFlags >> 3;
    const bool inProlog = offset < info->SizeOfProlog && (flags & pe::UNW_FLAG_CHAININFO) == 0;
    const unsigned frameRegister = info->FrameRegisterAndOffset & 0xF;
    ULONG64 frame = context->Rsp;
    if (frameRegister != 0) {
        bool established = !inProlog;
        for (unsigned index = 0; !established && index < info->CountOfCodes; ++index) {
            established = ((info->UnwindCode[index] >> 8) & 0xF) == pe::UWOP_SET_FPREG &&
                          (info->UnwindCode[index] & 0xFF) <= offset;
        }
        if (established) {
            frame = IntegerRegister(context, frameRegister) -
                    (info->FrameRegisterAndOffset >> 4) * 16ull;
        }
    }
    step->establisherFrame = frame;

    bool machineFrame = false;
    if (!ApplyCodes(info, inProlog ? offset : ~0ull, frame, context, &machineFrame, problem)) {
        return false;
    }
    // A function split into pieces chains each piece to the one holding the prologue.
    const pe::UNWIND_INFO* chained = info;
    for (unsigned depth = 0; (chained->VersionAndFlags >> 3) & pe::UNW_FLAG_CHAININFO; ++depth) {
        if (depth == 32) {
            *problem = "unwind chain too long";
            return false;
        }
        RUNTIME_FUNCTION parent;
        std::memcpy(&parent, &chained->UnwindCode[(chained->CountOfCodes + 1u) & ~1u],
                    sizeof(parent));
        chained = InfoAt(image, parent.UnwindData, problem);
        if (chained == nullptr ||
            !ApplyCodes(chained, ~0ull, frame, context, &machineFrame, problem)) {
            return false;
        }
    }
    if (!machineFrame) {
        if (!ReadStack(context->Rsp, &context->Rip, 8)) {
            *problem = "return address outside the thread's stack";
            return false;
        }
        context->Rsp += 8;
    }
    if (!inProlog && (flags & handlerFlags) != 0) {
        const auto* tail =
            reinterpret_cast<const ULONG*>(&info->UnwindCode[(info->CountOfCodes + 1u) & ~1u]);
        step->handler = reinterpret_cast<PEXCEPTION_ROUTINE>(image.Base() + tail[0]);
        step->handlerData = const_cast<ULONG*>(tail + 1);
    }
    return true;
}

bool UnwindImageFrames(CONTEXT* context, std::vector<std::string>* frames, size_t maximumFrames) {
    for (size_t count = 0; count < maximumFrames; ++count) {
        const PeImage* image = PeImage::Containing(context->Rip);
        if (image == nullptr) {
            return true;
        }
        if (frames != nullptr) {
            frames->push_back(image->DescribeAddress(context->Rip));
        }
        UnwindStep step;
        std::string problem;
        if (!VirtualUnwind(*image, 0, context, &step, &problem)) {
            if (frames != nullptr) {
                frames->push_back("(walk ends: " + problem + ")");
            }
            return false;
        }
    }
    return false;
}

std::vector<std::string> DescribeImageFrames(CONTEXT context, size_t maximumFrames) {
    std::vector<std::string> frames;
    UnwindImageFrames(&context, &frames, maximumFrames);
    return frames;
}

namespace {

struct MixedWalk {
    std::vector<std::string> frames;
    size_t skip = 0;
    size_t maximum = 0;
    bool reachedImage = false;
    CONTEXT imageContext{};
};

_Unwind_Reason_Code CollectHostFrame(struct _Unwind_Context* unwind, void* argument) {
    auto* walk = static_cast<MixedWalk*>(argument);
    const auto ip = static_cast<ULONG64>(_Unwind_GetIP(unwind));
    if (ip == 0 || walk->frames.size() >= walk->maximum) {
        return _URC_END_OF_STACK;
    }
    if (PeImage::Containing(ip) != nullptr) {
        // The host frame that an image called: hand over to the image's own unwind data.
        walk->reachedImage = true;
        walk->imageContext.Rip = ip;
        walk->imageContext.Rsp = static_cast<ULONG64>(_Unwind_GetCFA(unwind));
        walk->imageContext.Rbp = static_cast<ULONG64>(_Unwind_GetGR(unwind, 6));
        walk->imageContext.Rbx = static_cast<ULONG64>(_Unwind_GetGR(unwind, 3));
        return _URC_END_OF_STACK;
    }
    if (walk->skip > 0) {
        --walk->skip;
    } else {
        walk->frames.push_back(DescribeFrame(reinterpret_cast<void*>(ip)));
    }
    return _URC_NO_REASON;
}

} // namespace

std::vector<std::string> DescribeMixedStack(size_t skipFrames, size_t maximumFrames) {
    MixedWalk walk;
    walk.skip = skipFrames + 1; // and this function's own frame
    walk.maximum = maximumFrames;
    _Unwind_Backtrace(&CollectHostFrame, &walk);
    if (!walk.reachedImage) {
        return walk.frames;
    }
    CONTEXT context = walk.imageContext;
    if (!UnwindImageFrames(&context, &walk.frames, maximumFrames - walk.frames.size())) {
        return walk.frames;
    }
    // Back in the host, which keeps frame pointers: follow them.
    ULONG64 rip = context.Rip;
    ULONG64 rbp = context.Rbp;
    while (walk.frames.size() < maximumFrames && rip != 0) {
        walk.frames.push_back(DescribeFrame(reinterpret_cast<void*>(rip)));
        ULONG64 link[2];
        if (!ReadStack(rbp, link, sizeof(link)) || link[0] <= rbp) {
            break;
        }
        rbp = link[0];
        rip = link[1];
    }
    return walk.frames;
}

} // namespace host
