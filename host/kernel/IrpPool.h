// The I/O manager's IRPs and the records it keeps beside each: kept for reuse, as Windows keeps
// IRPs on lookaside lists, so that a request in steady state allocates nothing. An IRP with a
// usual stack depth and a small system buffer lives inside its record; deeper stacks and larger
// buffers get blocks of their own. A record is live from Take to Give, and only a live record's
// IRP is an IRP: anything else handed to Find (a freed IRP, a stray pointer) is not.
//
// Records never move and are never freed while the pool lives, so Find, completion and the
// sender's wait for it take no lock; taking and giving back records does (the I/O manager's).
//
// Under the address sanitizer the unused parts of a record (locations beyond the stack, bytes
// beyond the system buffer, the whole IRP once it is given back) are poisoned, so a driver that
// strays past what it was given, or uses an IRP after its completion freed it, is caught as it
// was when every IRP and buffer was a heap block of exactly its size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <ntddk.h>

#include "KeepsXmm.h"
#include "Poison.h"

namespace host {

class Process;

class IrpPool {
public:
    // Stack locations and system-buffer bytes a record holds in place.
    static constexpr std::size_t InlineLocations = 4;
    static constexpr std::size_t InlineBufferBytes = 256;

    // A record's IRP from Take on: not completed, completed, or not completed with its sender
    // asleep on the word until it is.
    enum Completion : std::uint32_t { Pending, Completed, Awaited };

    struct Record {
        alignas(
            16) unsigned char storage[sizeof(IRP) + InlineLocations * sizeof(IO_STACK_LOCATION)];
        alignas(16) unsigned char buffer[InlineBufferBytes];
        std::unique_ptr<unsigned char[]> deepStorage;
        std::unique_ptr<unsigned char[]> largeBuffer;
        std::atomic<PIRP> irp{nullptr}; // null while the record is free
        std::atomic<std::uint32_t> completion{Pending};
        Record* nextFree = nullptr; // guarded by the I/O manager's lock
        // Set by Take before the IRP is handed out, read by whoever the IRP reaches.
        Process* requester = nullptr;
        // Guarded by the I/O manager's lock: returned from dispatch without being completed
        // (already reported, never waited for); refused by the system's default routine.
        bool abandoned = false;
        bool refusedBySystem = false;

        bool IsCompleted() const { return completion.load(std::memory_order_acquire) == Completed; }
    };

    IrpPool() = default;
    IrpPool(const IrpPool&) = delete;
    IrpPool& operator=(const IrpPool&) = delete;
    ~IrpPool();

    // Under the I/O manager's lock: a live record with a zeroed IRP of stackSize locations, and
    // the record given back. Inline for a record on hand whose IRP lives in place, the steady
    // state of every request.
    Record* Take(CCHAR stackSize, Process* requester) {
        Record* record = freeRecords;
        if (__builtin_expect(record == nullptr || stackSize > CCHAR(InlineLocations), 0)) {
            return TakeOther(stackSize, requester);
        }
        freeRecords = record->nextFree;
        record->nextFree = nullptr;
        std::size_t bytes = IrpBytes(stackSize);
        UnpoisonBytes(record->storage, bytes);
        // Knowing the size bounded, the compiler would clear it with a string store, which takes
        // half again the instructions of the C library's vector stores.
        asm("" : "+r"(bytes));
        std::memset(record->storage, 0, bytes);
        return Issue(record, record->storage, requester);
    }
    void Give(Record* record) {
        if (__builtin_expect(record->deepStorage != nullptr || record->largeBuffer != nullptr, 0)) {
            GiveOther(record);
            return;
        }
        PoisonBytes(record->storage, sizeof(record->storage));
        PoisonBytes(record->buffer, sizeof(record->buffer));
        record->irp.store(nullptr, std::memory_order_release);
        record->nextFree = freeRecords;
        freeRecords = record;
    }

    // Without a lock: the live record whose IRP irp is, or null.
    HOST_KEEPS_XMM Record* Find(PIRP irp) const {
        const auto* at = reinterpret_cast<const unsigned char*>(irp);
        const std::size_t count = chunkCount.load(std::memory_order_acquire);
        for (std::size_t index = 0; index < count; index++) {
            Chunk* chunk = chunks[index].load(std::memory_order_relaxed);
            const auto* first = reinterpret_cast<const unsigned char*>(chunk->records);
            if (at >= first && at < first + sizeof(chunk->records)) {
                Record& record =
                    chunk->records[static_cast<std::size_t>(at - first) / sizeof(Record)];
                return record.irp.load(std::memory_order_acquire) == irp ? &record : nullptr;
            }
        }
        return deepRecords.load(std::memory_order_relaxed) != 0 ? FindDeep(irp) : nullptr;
    }
    // A system buffer of bytes for the record's IRP, valid until the record is given back; only
    // its sender calls it, before the IRP is sent.
    static unsigned char* SystemBuffer(Record* record, std::size_t bytes) {
        if (bytes > InlineBufferBytes) {
            return LargeSystemBuffer(record, bytes);
        }
        UnpoisonBytes(record->buffer, bytes);
        return record->buffer;
    }

    // Under the I/O manager's lock.
    template <class Visit>
    void ForEachLive(Visit visit) {
        const std::size_t count = chunkCount.load(std::memory_order_acquire);
        for (std::size_t chunk = 0; chunk < count; chunk++) {
            for (Record& record : chunks[chunk].load(std::memory_order_relaxed)->records) {
                if (record.irp.load(std::memory_order_relaxed) != nullptr) {
                    visit(record);
                }
            }
        }
    }

private:
    static constexpr std::size_t ChunkRecords = 16;
    static constexpr std::size_t MaximumChunks = 1024;
    struct Chunk {
        Record records[ChunkRecords];
    };

    static std::size_t IrpBytes(CCHAR stackSize) {
        return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    }
    void Grow();
    // Take and Give when the pool must grow or the IRP or its buffer lies in a block of its own.
    Record* TakeOther(CCHAR stackSize, Process* requester);
    void GiveOther(Record* record);
    // Makes record, whose IRP lies at storage, live.
    static Record* Issue(Record* record, unsigned char* storage, Process* requester) {
        record->requester = requester;
        record->abandoned = false;
        record->refusedBySystem = false;
        record->completion.store(Pending, std::memory_order_relaxed);
        record->irp.store(reinterpret_cast<PIRP>(storage), std::memory_order_release);
        return record;
    }
    HOST_KEEPS_XMM Record* FindDeep(PIRP irp) const;
    static unsigned char* LargeSystemBuffer(Record* record, std::size_t bytes);

    // Published one by one (count last), so Find may read them while another thread grows.
    std::atomic<Chunk*> chunks[MaximumChunks] = {};
    std::atomic<std::size_t> chunkCount{0};
    Record* freeRecords = nullptr;
    // Live records whose IRP lies in a block of its own: Find looks at every record for them.
    std::atomic<std::size_t> deepRecords{0};
};

} // namespace host
