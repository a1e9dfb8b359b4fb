// The one include through which driver code reaches the Windows kernel headers. On MSVC and on
// the Linux host platform they are complete; mingw-w64's DDK headers need a few guards before
// and a few declarations after, which live here and nowhere else.
#pragma once

#if defined(__MINGW32__)
#include "MingwBeforeKernelHeaders.h"
#endif

#include <ntifs.h> // the NT kernel headers, with process attach

#if defined(__MINGW32__)
#include "MingwAfterKernelHeaders.h"
#endif
