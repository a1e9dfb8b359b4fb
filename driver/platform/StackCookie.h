// The stack protector's cookie. MSVC's kernel library draws its own at the image's entry point;
// for mingw-w64 the image's entry point (ImageEntryMingw.cpp) calls this, which the support
// library's C++ runtime defines, before DriverEntry.
#pragma once

#include "KernelHeaders.h"

// Draws the cookie afresh. Must run before any guarded frame exists: a frame entered with the
// old cookie would fail its check on return.
VOID InitializeStackCookie();
