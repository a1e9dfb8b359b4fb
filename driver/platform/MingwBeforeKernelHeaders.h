// mingw-w64 only: guards needed before its DDK headers compile as C++.
#pragma once

// The DDK's inline InterlockedBitTestAndSet/Reset clash with the compiler intrinsics header.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
