// x64 unwinding through the frames of Windows-built driver images, from their function tables
// and unwind codes, as the Windows kernel's virtual unwinder does; and the walk that shows those
// frames in a bug-check report.
#pragma once

#include <string>
#include <vector>

#include <ntddk.h>

namespace host {

class PeImage;

// One frame of virtual unwinding. On entry context describes the frame of the function at
// context->Rip inside image; on success it describes that function's caller, *establisherFrame
// holds the frame's establisher address and *handler (when handlerFlags asks for one and the
// function has one that applies at that point) its language handler and *handlerData the data
// behind it. Fails, with *problem, when the unwind data is malformed or the stack leaves the
// thread's stack.
struct UnwindStep {
    PEXCEPTION_ROUTINE handler = nullptr;
    void* handlerData = nullptr;
    ULONG64 establisherFrame = 0;
    const RUNTIME_FUNCTION* function = nullptr;
};
bool VirtualUnwind(const PeImage& image, unsigned handlerFlags, CONTEXT* context, UnwindStep* step,
                   std::string* problem);

// Unwinds context through consecutive image frames until it describes a frame outside every
// image (normally the host routine that called into the image); false when the unwind data or
// the stack is malformed. Each image frame's return address is added to frames, when given.
bool UnwindImageFrames(CONTEXT* context, std::vector<std::string>* frames = nullptr,
                       size_t maximumFrames = 256);

// Whether [address, address + bytes) lies inside the calling thread's stack.
bool OnThreadStack(ULONG64 address, ULONG64 bytes);

// The calling thread's stack from its caller's frame outward (after skipping skipFrames more),
// described frame by frame for a report: host frames by symbol, image frames through the
// image's unwind data, and host frames beneath them by their frame pointers.
std::vector<std::string> DescribeMixedStack(size_t skipFrames = 0, size_t maximumFrames = 32);

// Image frames from context outward until a frame outside every image.
std::vector<std::string> DescribeImageFrames(CONTEXT context, size_t maximumFrames = 32);

} // namespace host
