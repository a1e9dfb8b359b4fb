// mingw-w64 only: kernel declarations that its DDK headers lack.
#pragma once

#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// MSVC treats memcpy and memset as intrinsics and expands a small copy of known size inline;
// with -ffreestanding GCC calls the kernel's routine for every one, even of eight bytes. As
// builtins they behave as under MSVC: inline when small and constant, a call otherwise.
#undef RtlCopyMemory
#undef RtlMoveMemory
#undef RtlFillMemory
#undef RtlZeroMemory
#undef RtlEqualMemory
#define RtlCopyMemory(Destination, Source, Length)                                                 \
    __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)                                                 \
    __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length)                                                \
    (!__builtin_memcmp((Destination), (Source), (Length)))

// MAKELCID(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), SORT_DEFAULT): mingw-w64 defines it in
// the user-mode winnt.h only.
#ifndef LOCALE_NEUTRAL
#define LOCALE_NEUTRAL 0x0000
#endif
