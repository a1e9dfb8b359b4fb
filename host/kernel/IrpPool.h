// The I/O manager's IRPs and the records it keeps beside each: kept for reuse, as Windows keeps
// IRPs on lookaside lists, so that a request in steady state allocates nothing. An IRP with a
// usual stack depth and a small system buffer lives inside its record; deeper stacks and larger
// buffers get blocks of their own. A record is live from Take to Give, and only a live record's
// IRP is an IRP: anything else handed to Find (a freed IRP, a stray pointer) is not.
//
// Under the address sanitizer the unused parts of a record (locations beyond the stack, bytes
// beyond the system buffer, the whole IRP once it is given back) are poisoned, so a driver that
// strays past what it was given, or uses an IRP after its completion freed it, is caught as it
// was when every IRP and buffer was a heap block of exactly its size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <ntddk.h>

namespace host {

class Process;

class IrpPool {
public:
    // Stack locations and system-buffer bytes a record holds in place.
    static constexpr std::size_t InlineLocations = 4;
    static constexpr std::size_t InlineBufferBytes = 256;

    struct Record {
        alignas(
            16) unsigned char storage[sizeof(IRP) + InlineLocations * sizeof(IO_STACK_LOCATION)];
        alignas(16) unsigned char buffer[InlineBufferBytes];
        std::unique_ptr<unsigned char[]> deepStorage;
        std::unique_ptr<unsigned char[]> largeBuffer;
        PIRP irp = nullptr; // null while the record is free
        Record* nextFree = nullptr;

        // Guarded by the I/O manager's lock.
        Process* requester = nullptr;
        bool completed = false;
        // Returned from dispatch without being completed: already reported, never waited for.
        bool abandoned = false;
        bool refusedBySystem = false;
        // A sender sleeps on completion until the IRP is completed.
        bool waiting = false;
        std::atomic<std::uint32_t> completion{0};
    };

    IrpPool() = default;
    IrpPool(const IrpPool&) = delete;
    IrpPool& operator=(const IrpPool&) = delete;
    ~IrpPool();

    // Every call below expects the I/O manager's lock to be held.

    // A live record with a zeroed IRP of stackSize locations.
    Record* Take(CCHAR stackSize);
    void Give(Record* record);
    // The live record whose IRP irp is, or null.
    Record* Find(PIRP irp);
    // A system buffer of bytes for the record's IRP, valid until the record is given back.
    unsigned char* SystemBuffer(Record* record, std::size_t bytes);

    template <class Visit>
    void ForEachLive(Visit visit) {
        for (auto& chunk : chunks) {
            for (Record& record : chunk->records) {
                if (record.irp != nullptr) {
                    visit(record);
                }
            }
        }
    }

private:
    static constexpr std::size_t ChunkRecords = 16;
    struct Chunk {
        Record records[ChunkRecords];
    };

    void Grow();

    std::vector<std::unique_ptr<Chunk>> chunks;
    Record* freeRecords = nullptr;
    // Live records whose IRP lies in a block of its own: Find looks at them one by one.
    std::size_t deepRecords = 0;
};

} // namespace host
