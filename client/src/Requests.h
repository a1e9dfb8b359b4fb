// The byte layouts of the control requests, for 32-bit and 64-bit clients alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conduit/Client.h"

namespace conduit::requests {

std::vector<std::uint8_t> GetControlBlock();
std::vector<std::uint8_t> SetFormat(const DeviceFormat& format);
std::vector<std::uint8_t> SetLatency(std::uint32_t frames);
// The handle follows Version unaligned: 4 bytes from a 32-bit client, 8 from a 64-bit one.
std::vector<std::uint8_t> SetEvent(std::uint64_t handle, bool is32Bit);
std::vector<std::uint8_t> ReportStatus(std::int32_t clientStatus);
// The answer to one handshake: the status followed by that handshake's number.
std::vector<std::uint8_t> ReportNumberedStatus(std::int32_t clientStatus,
                                               std::uint32_t handshakeNumber);

// The control block address from the get request's answer; false unless exactly a pointer's
// width came back and it is not null.
bool ParseControlBlockAddress(const std::uint8_t* answer, std::uint32_t returned, bool is32Bit,
                              std::uint64_t* address);

// "\acc2f77f-...\Render" or "...\Capture" as UTF-16, to append to the interface link.
std::u16string FileName(Direction direction);

} // namespace conduit::requests
