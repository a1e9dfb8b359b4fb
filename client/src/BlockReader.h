// Reads the shared control block field by field with single atomic loads (the driver writes it
// concurrently) and turns it into a checked StreamView. Nothing here trusts a value it reads.
#pragma once

#include <cstdint>

#include "conduit/Client.h"

namespace conduit::block {

// Inline: a handshake's reading of the block makes some thirty of these.
inline std::uint32_t Load32(const void* block, std::uint32_t offset) {
    auto* word =
        reinterpret_cast<const std::uint32_t*>(static_cast<const std::uint8_t*>(block) + offset);
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

inline void Store32(void* block, std::uint32_t offset, std::uint32_t value) {
    auto* word = reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(block) + offset);
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// A 64-bit field at a 4-aligned offset: read as two halves until two readings agree, so a value
// the driver was writing is not taken half old, half new.
std::uint64_t Load64(const void* block, std::uint32_t offset);

// windowBytes: the part of the data buffer the client may touch; a stream buffer that would
// reach past it is reported and not used.
StreamView Read(const void* block, std::uint32_t windowBytes);

// Checks a published stream format (the 40 bytes of StreamFormat). False, with the reason in
// *problem, for a format that is present but unusable; false without a problem when absent.
bool ParseStreamFormat(const std::uint8_t (&bytes)[40], StreamFormat* format, std::string* problem);

} // namespace conduit::block
