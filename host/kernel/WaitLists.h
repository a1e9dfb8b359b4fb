// The doubly linked lists of the dispatcher's wait blocks, on Windows's LIST_ENTRY: each wait
// block sits in the waited object's own WaitListHead, as on Windows, and timed ones also in the
// dispatcher's list of deadlines.
#pragma once

#include <cstddef>
#include <type_traits>

#include <ntddk.h>

#include "Thread.h"

namespace host {

inline void InitializeList(LIST_ENTRY* head) {
    head->Flink = head;
    head->Blink = head;
}

inline void InsertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

inline void Unlink(LIST_ENTRY* entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    InitializeList(entry);
}

static_assert(std::is_standard_layout_v<WaitBlock>,
              "wait blocks are found from their list entries");

inline WaitBlock* WaitOfObjectEntry(LIST_ENTRY* entry) {
    return reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(entry) -
                                        offsetof(WaitBlock, objectEntry));
}

inline WaitBlock* WaitOfTimerEntry(LIST_ENTRY* entry) {
    return reinterpret_cast<WaitBlock*>(reinterpret_cast<char*>(entry) -
                                        offsetof(WaitBlock, timerEntry));
}

inline bool Timed(const Deadline& deadline) {
    return deadline.kind == Deadline::Kind::Relative || deadline.kind == Deadline::Kind::Absolute;
}

} // namespace host
