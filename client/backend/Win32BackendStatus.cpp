// The Win32 errors the system reports for the NTSTATUS values the driver and the I/O manager
// return on the client's requests, mapped back; one Win32 error can stand for several.
#include "Win32BackendStatus.h"

namespace conduit::win32 {

namespace {

struct Mapping {
    std::uint32_t error;
    std::uint32_t status;
};

constexpr Mapping Mappings[] = {
    {1, 0xC0000010},    // ERROR_INVALID_FUNCTION: STATUS_INVALID_DEVICE_REQUEST
    {2, 0xC0000034},    // ERROR_FILE_NOT_FOUND: STATUS_OBJECT_NAME_NOT_FOUND
    {3, 0xC000003A},    // ERROR_PATH_NOT_FOUND: STATUS_OBJECT_PATH_NOT_FOUND
    {5, 0xC0000022},    // ERROR_ACCESS_DENIED: STATUS_ACCESS_DENIED
    {6, 0xC0000008},    // ERROR_INVALID_HANDLE: STATUS_INVALID_HANDLE
    {8, 0xC0000017},    // ERROR_NOT_ENOUGH_MEMORY: STATUS_NO_MEMORY
    {21, 0xC00000A3},   // ERROR_NOT_READY: STATUS_DEVICE_NOT_READY
    {22, 0xC0000184},   // ERROR_BAD_COMMAND: STATUS_INVALID_DEVICE_STATE
    {31, 0xC0000001},   // ERROR_GEN_FAILURE: STATUS_UNSUCCESSFUL
    {32, 0xC0000043},   // ERROR_SHARING_VIOLATION: STATUS_SHARING_VIOLATION
    {50, 0xC00000BB},   // ERROR_NOT_SUPPORTED: STATUS_NOT_SUPPORTED
    {87, 0xC000000D},   // ERROR_INVALID_PARAMETER: STATUS_INVALID_PARAMETER
    {122, 0xC0000023},  // ERROR_INSUFFICIENT_BUFFER: STATUS_BUFFER_TOO_SMALL
    {170, 0x80000011},  // ERROR_BUSY: STATUS_DEVICE_BUSY
    {234, 0x80000005},  // ERROR_MORE_DATA: STATUS_BUFFER_OVERFLOW
    {995, 0xC0000120},  // ERROR_OPERATION_ABORTED: STATUS_CANCELLED
    {1167, 0xC000009D}, // ERROR_DEVICE_NOT_CONNECTED: STATUS_DEVICE_NOT_CONNECTED
    {1450, 0xC000009A}, // ERROR_NO_SYSTEM_RESOURCES: STATUS_INSUFFICIENT_RESOURCES
};

} // namespace

std::int32_t StatusFromError(std::uint32_t error) {
    for (const Mapping& mapping : Mappings) {
        if (mapping.error == error) {
            return static_cast<std::int32_t>(mapping.status);
        }
    }
    if (error == 0) {
        // A failed call that left no error still failed.
        return static_cast<std::int32_t>(0xC0000001);
    }
    return static_cast<std::int32_t>(0xC0070000u | (error & 0xFFFF));
}

} // namespace conduit::win32
