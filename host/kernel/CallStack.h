// Call stacks of the host kernel's callers: captured cheaply when a resource is taken and turned
// into readable "Function+0x1c" frames only when something has to be reported or matched.
#pragma once

#include <string>
#include <vector>

namespace host {

using CallStack = std::vector<void*>;

// The calling thread's return addresses, beginning with the frame whose return address is from
// (normally __builtin_return_address(0) of the exported kernel routine, so the kernel's own frames
// are left out). When from is not on the stack the whole stack is kept.
CallStack CaptureCallStack(const void* from, size_t maximumFrames = 24);

// The demangled name of the function a return address lies in, or "" when it has no symbol.
std::string FrameFunctionName(const void* returnAddress);

// "Function+0x1c", else "module+0x1234", else the bare address.
std::string DescribeFrame(const void* returnAddress);

} // namespace host
