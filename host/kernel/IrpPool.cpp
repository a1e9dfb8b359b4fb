// IRP records: a free list over chunks of records, and the lookup that tells a live IRP from
// anything else by where it lies.
#include "IrpPool.h"

#include <cstring>

#include "Poison.h"

namespace host {

namespace {

std::size_t IrpBytes(CCHAR stackSize) {
    return sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
}

} // namespace

IrpPool::~IrpPool() {
    // The chunks go back to the heap whole: nothing may stay poisoned in them.
    for (auto& chunk : chunks) {
        UnpoisonBytes(chunk.get(), sizeof(Chunk));
    }
}

void IrpPool::Grow() {
    auto chunk = std::make_unique<Chunk>();
    for (Record& record : chunk->records) {
        PoisonBytes(record.storage, sizeof(record.storage));
        PoisonBytes(record.buffer, sizeof(record.buffer));
        record.nextFree = freeRecords;
        freeRecords = &record;
    }
    chunks.push_back(std::move(chunk));
}

IrpPool::Record* IrpPool::Take(CCHAR stackSize) {
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
        ++deepRecords;
    } else {
        UnpoisonBytes(storage, bytes);
    }
    std::memset(storage, 0, bytes);
    record->irp = reinterpret_cast<PIRP>(storage);
    record->requester = nullptr;
    record->completed = false;
    record->abandoned = false;
    record->refusedBySystem = false;
    record->waiting = false;
    return record;
}

void IrpPool::Give(Record* record) {
    if (record->deepStorage) {
        record->deepStorage.reset();
        --deepRecords;
    }
    record->largeBuffer.reset();
    PoisonBytes(record->storage, sizeof(record->storage));
    PoisonBytes(record->buffer, sizeof(record->buffer));
    record->irp = nullptr;
    record->nextFree = freeRecords;
    freeRecords = record;
}

IrpPool::Record* IrpPool::Find(PIRP irp) {
    const auto* at = reinterpret_cast<const unsigned char*>(irp);
    for (auto& chunk : chunks) {
        const auto* first = reinterpret_cast<const unsigned char*>(chunk->records);
        if (at >= first && at < first + sizeof(chunk->records)) {
            Record& record = chunk->records[static_cast<std::size_t>(at - first) / sizeof(Record)];
            return record.irp == irp ? &record : nullptr;
        }
    }
    if (deepRecords != 0) {
        for (auto& chunk : chunks) {
            for (Record& record : chunk->records) {
                if (record.irp == irp && record.deepStorage) {
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
