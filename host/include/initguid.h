// Included first by the one translation unit of an image that defines the GUIDs it uses:
// from here on DEFINE_GUID and DEFINE_DEVPROPKEY emit (selectany) definitions.
#pragma once
#ifndef INITGUID
#define INITGUID
#endif
#include "ntdef.h"
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    EXTERN_C const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#undef DEFINE_DEVPROPKEY
#define DEFINE_DEVPROPKEY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8, pid)                    \
    EXTERN_C const DEVPROPKEY DECLSPEC_SELECTANY name = {                                          \
        {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}, pid}
