// DEFINE_GUID with the Windows meaning: a declaration, or, in the one translation unit of an
// image that includes <initguid.h> first, a (selectany) definition.
#pragma once

#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    EXTERN_C const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

#define DEFINE_GUIDSTRUCT(g, n) struct n
#define DEFINE_GUIDNAMED(n) n

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define InlineIsEqualGUID IsEqualGUID
#define IsEqualIID IsEqualGUID
#define IsEqualCLSID IsEqualGUID
