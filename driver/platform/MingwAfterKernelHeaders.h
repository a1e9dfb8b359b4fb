// mingw-w64 only: kernel declarations that its DDK headers lack.
#pragma once

#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// MAKELCID(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), SORT_DEFAULT): mingw-w64 defines it in
// the user-mode winnt.h only.
#ifndef LOCALE_NEUTRAL
#define LOCALE_NEUTRAL 0x0000
#endif
