// What the host counts of the driver's memory copies: every byte the driver image moves with
// the kernel's copy routines (memcpy, memmove), from any thread, since the process started.
#pragma once

#include <cstdint>

namespace host {

std::uint64_t DriverCopiedBytes();

} // namespace host
