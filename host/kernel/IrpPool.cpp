// IRP records: a free list over chunks of records, and the lookup that tells a live IRP from
// anything else by where it lies.
#include "IrpPool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Poison.h"

namespace host {

namespace {

std::size_t IrpBytes(CCHAR stackSize) {
    return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

} // namespace

IrpPool::~IrpPool() {
    const std::size_t count = chunkCount.load();
    for (std::size_t chunk = 0; chunk < count; chunk++) {
        // The chunks go back to the heap whole: nothing may stay poisoned in them.
        UnpoisonBytes(chunks[chunk].load(), sizeof(Chunk));
        delete chunks[chunk].load();
    }
}

void IrpPool::Grow() {
    const std::size_t count = chunkCount.load(std::memory_order_relaxed);
    if (count == MaximumChunks) {
        std::fprintf(stderr, "host: more than %zu IRPs outstanding at once\n",
                     MaximumChunks * ChunkRecords);
        std::abort();
    }
    auto* chunk = new Chunk();
    for (Record& record : chunk->records) {
        PoisonBytes(record.storage, sizeof(record.storage));
        PoisonBytes(record.buffer, sizeof(record.buffer));
        record.nextFree = freeRecords;
        freeRecords = &record;
    }
    chunks[count].store(chunk, std::memory_order_relaxed);
    chunkCount.store(count + 1, std::memory_order_release);
}

IrpPool::Record* IrpPool::Take(CCHAR stackSize, Process* requester) {
    if (freeRecords == nullptr) {
        Grow();
    }
    Record* record = freeRecords;
    freeRecords = record->nextFree;
    record->nextFree = nullptr;
    const std::size_t bytes = IrpBytes(stackSize);
    unsigned char* storage = record->storage;
    if (static_cast<std::size_t>(stackSize) > InlineLocations) {
        record->deepStorage.reset(new unsigned char[bytes]);
        storage = record->deepStorage.get();
        deepRecords.fetch_add(1, std::memory_order_relaxed);
    } else {
        UnpoisonBytes(storage, bytes);
    }
    std::memset(storage, 0, bytes);
    record->requester = requester;
    record->abandoned = false;
    record->refusedBySystem = false;
    record->completion.store(Pending, std::memory_order_relaxed);
    record->irp.store(reinterpret_cast<PIRP>(storage), std::memory_order_release);
    return record;
}

void IrpPool::Give(Record* record) {
    if (record->deepStorage) {
        record->deepStorage.reset();
        deepRecords.fetch_sub(1, std::memory_order_relaxed);
    }
    record->largeBuffer.reset();
    PoisonBytes(record->storage, sizeof(record->storage));
    PoisonBytes(record->buffer, sizeof(record->buffer));
    record->irp.store(nullptr, std::memory_order_release);
    record->nextFree = freeRecords;
    freeRecords = record;
}

HOST_KEEPS_XMM IrpPool::Record* IrpPool::Find(PIRP irp) const {
    const auto* at = reinterpret_cast<const unsigned char*>(irp);
    const std::size_t count = chunkCount.load(std::memory_order_acquire);
    for (std::size_t index = 0; index < count; index++) {
        Chunk* chunk = chunks[index].load(std::memory_order_relaxed);
        const auto* first = reinterpret_cast<const unsigned char*>(chunk->records);
        if (at >= first && at < first + sizeof(chunk->records)) {
            Record& record = chunk->records[static_cast<std::size_t>(at - first) / sizeof(Record)];
            return record.irp.load(std::memory_order_acquire) == irp ? &record : nullptr;
        }
    }
    if (deepRecords.load(std::memory_order_relaxed) != 0) {
        for (std::size_t index = 0; index < count; index++) {
            for (Record& record : chunks[index].load(std::memory_order_relaxed)->records) {
                if (record.irp.load(std::memory_order_acquire) == irp) {
                    return &record;
                }
            }
        }
    }
    return nullptr;
}

unsigned char* IrpPool::SystemBuffer(Record* record, std::size_t bytes) {
    if (bytes > InlineBufferBytes) {
        record->largeBuffer.reset(new unsigned char[bytes]);
        return record->largeBuffer.get();
    }
    UnpoisonBytes(record->buffer, bytes);
    return record->buffer;
}

} // namespace host
