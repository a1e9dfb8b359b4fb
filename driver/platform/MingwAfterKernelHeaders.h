// mingw-w64 only: kernel declarations that its DDK headers lack.
#pragma once

#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
