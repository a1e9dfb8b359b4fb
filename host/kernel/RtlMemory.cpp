// The run-time library's memory routines that are functions rather than macros.
#include <ntddk.h>

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* first = static_cast<const UCHAR*>(Source1);
    const auto* second = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && first[equal] == second[equal]) {
        ++equal;
    }
    return equal;
}
