// Heap allocations of the whole process, counted by this program's own malloc family.
#pragma once

#include <cstdint>

namespace bench {

// False under a sanitizer, whose runtime owns malloc: the count then stays 0.
bool HeapAllocationsCounted();
std::uint64_t HeapAllocations();

} // namespace bench
