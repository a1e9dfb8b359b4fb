// IRP records: a free list over chunks of records, and the lookup that tells a live IRP from
// anything else by where it lies.
#include "IrpPool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Poison.h"

namespace host {

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

IrpPool::Record* IrpPool::TakeOther(CCHAR stackSize, Process* requester) {
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
    return Issue(record, storage, requester);
}

void IrpPool::GiveOther(Record* record) {
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

HOST_KEEPS_XMM IrpPool::Record* IrpPool::FindDeep(PIRP irp) const {
    const std::size_t count = chunkCount.load(std::memory_order_acquire);
    for (std::size_t index = 0; index < count; index++) {
        for (Record& record : chunks[index].load(std::memory_order_relaxed)->records) {
            if (record.irp.load(std::memory_order_acquire) == irp) {
                return &record;
            }
        }
    }
    return nullptr;
}

unsigned char* IrpPool::LargeSystemBuffer(Record* record, std::size_t bytes) {
    record->largeBuffer.reset(new unsigned char[bytes]);
    return record->largeBuffer.get();
}

} // namespace host
