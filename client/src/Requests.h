// The byte layouts of the control requests, for 32-bit and 64-bit clients alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "conduit/Client.h"

namespace conduit::requests {

// One request's bytes, held in place: a tick or an answer builds its request without touching
// the heap.
class Payload {
public:
    // The largest request (the format: Version and five fields).
    static constexpr std::size_t Capacity = 24;

    const std::uint8_t* data() const { return bytes_; }
    std::uint32_t size() const { return size_; }
    // Appends value little-endian in Width bytes.
    template <unsigned Width>
    void Put(std::uint64_t value) {
        static_assert(Width <= sizeof(value), "a field of at most 8 bytes");
        // Every request has a fixed layout that fits; anything else is a bug here.
        if (Width > Capacity - size_) {
            Overflow();
        }
        for (unsigned i = 0; i < Width; ++i) {
            bytes_[size_ + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        size_ += Width;
    }

private:
    [[noreturn]] static void Overflow();

    std::uint8_t bytes_[Capacity] = {};
    std::uint32_t size_ = 0;
};

Payload GetControlBlock();
Payload SetFormat(const DeviceFormat& format);
Payload SetLatency(std::uint32_t frames);
// The handle follows Version unaligned: 4 bytes from a 32-bit client, 8 from a 64-bit one.
Payload SetEvent(std::uint64_t handle, bool is32Bit);
Payload ReportStatus(std::int32_t clientStatus);
// The answer to one handshake: the status followed by that handshake's number.
Payload ReportNumberedStatus(std::int32_t clientStatus, std::uint32_t handshakeNumber);

// The control block address from the get request's answer; false unless exactly a pointer's
// width came back and it is not null.
bool ParseControlBlockAddress(const std::uint8_t* answer, std::uint32_t returned, bool is32Bit,
                              std::uint64_t* address);

// "\acc2f77f-...\Render" or "...\Capture" as UTF-16, to append to the interface link.
std::u16string FileName(Direction direction);

} // namespace conduit::requests
