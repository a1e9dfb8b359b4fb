// GUID values for constant tables: the headers' GUID symbols are objects whose values a
// constant initialiser cannot copy, so tables spell values from their STATIC_ forms instead.
#pragma once

#include "platform/AudioHeaders.h"

// ConstantGuid(STATICGUIDOF(name)): the eleven parts of a STATIC_ spelling as one GUID.
constexpr GUID ConstantGuid(ULONG data1, USHORT data2, USHORT data3, UCHAR b0, UCHAR b1, UCHAR b2,
                            UCHAR b3, UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7) {
    return GUID{data1, data2, data3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}
