// Win32 error codes as the client's NTSTATUS-shaped status, for the Win32 backend. Plain
// arithmetic on numbers, so it builds and is tested on Linux as well.
#pragma once

#include <cstdint>

namespace conduit::win32 {

// The NTSTATUS the driver most likely returned for a Win32 error that the system derived from
// it (the common ones the driver and the I/O manager produce); any other error as the
// NTSTATUS that carries a Win32 error code (facility 7), so it stays a failure and readable.
std::int32_t StatusFromError(std::uint32_t error);

} // namespace conduit::win32
