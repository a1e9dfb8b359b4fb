// Counts the bytes the driver image moves with the C library's copy routines. The driver image
// imports memcpy, memmove and memset (its RtlCopyMemory, RtlMoveMemory and RtlFillMemory of a
// size the compiler cannot see); this program defines those three, so the dynamic loader binds
// every image copy's imports to them, and each call made from inside the watched image's code
// adds its length to a counter before the C library does the work. Copies the compiler expands
// inline (small constant sizes: structure assignments, the control block's fields) are not seen.
#pragma once

#include <cstdint>

namespace bench {

struct CopyCounts {
    std::uint64_t copiedBytes = 0; // memcpy and memmove
    std::uint64_t copyCalls = 0;
    std::uint64_t filledBytes = 0; // memset: silence and zeroing, not a copy
};

// Watches the loaded image that holds address (any routine of the image copy); calls from
// other code are not counted. Returns false when no loaded file holds the address.
bool WatchImageOf(const void* address);
void StopWatching();
CopyCounts ReadCopyCounts();

} // namespace bench
