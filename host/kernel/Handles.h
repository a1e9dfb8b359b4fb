// Handle tables: what a HANDLE names in a process (or in the kernel's own table). Objects that
// can be named by a handle derive from HandleObject; the table holds one reference per handle,
// and an object learns when its last handle anywhere is closed (a file's cleanup).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Lock.h"

struct _OBJECT_TYPE;

namespace host {

class Process;

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // What the object is, for reports ("File", "Event", ...).
    virtual std::string Describe() const = 0;
    // The object manager's type of the object (null for one the host gives no type) and the
    // pointer a kernel caller gets for it (the FILE_OBJECT, the KEVENT, ...). Neither changes:
    // a handle table reads both once, when it makes a handle.
    virtual _OBJECT_TYPE* Type() const { return nullptr; }
    virtual void* Body() = 0;
    // Called after a handle to the object was removed from a table, outside the table's lock,
    // in the context of the process that owned the handle. lastHandle: no handle remains.
    virtual void HandleClosed(Process* owner, bool lastHandle) {
        (void)owner;
        (void)lastHandle;
    }

    int HandleCount() const { return handleCount.load(); }

private:
    friend class HandleTable;
    std::atomic<int> handleCount{0};
};

class HandleTable {
public:
    // Handle values are multiples of 4 from 4 up, plus base: a 32-bit process gets base 0 (small
    // values), a 64-bit process values above 4 GiB (so a handle cut to 32 bits names nothing),
    // the kernel's table values with the top bit set, as Windows kernel handles have.
    explicit HandleTable(unsigned long long base);
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // The handle grants granted, or, by default, every right of the object's type (what the
    // I/O manager's own opens give).
    static constexpr std::uint32_t EveryRight = 0xFFFFFFFF;
    void* Insert(std::shared_ptr<HandleObject> object, std::uint32_t granted = EveryRight);

    // What a handle names: the object (held as long as this copy lives), its body and type, and
    // the access the handle grants.
    struct Named {
        std::shared_ptr<HandleObject> object;
        void* body = nullptr;
        _OBJECT_TYPE* type = nullptr;
        std::uint32_t granted = 0;
    };
    // Copies what handle names into found (which must be empty); false when it names nothing.
    // Inline: every user-mode request and wait starts here.
    bool Lookup(void* handle, Named* found) const {
        std::lock_guard<Lock> hold(lock);
        const Entry* entry = FindRecent(handle);
        if (entry == nullptr) {
            entry = FindOther(handle);
        }
        if (entry == nullptr) {
            return false;
        }
        *found = *entry;
        return true;
    }
    // The object handle names (null for none) and, when asked, the access its handle grants.
    std::shared_ptr<HandleObject> Lookup(void* handle, std::uint32_t* granted = nullptr) const;
    // Removes the handle and returns its object (null for a handle the table does not hold).
    // The caller calls HandleClosed on the object once it has released its own locks.
    std::shared_ptr<HandleObject> Remove(void* handle, bool* lastHandle);
    std::vector<void*> Handles() const;
    size_t Count() const;
    // One line per open handle: "0x...: <object>".
    std::vector<std::string> Describe() const;

private:
    using Entry = Named;
    using Entries = std::map<unsigned long long, Entry>;
    // The entry of handle, or null (expects lock): among those found lately, in the map.
    const Entry* Find(void* handle) const {
        const Entry* entry = FindRecent(handle);
        return entry != nullptr ? entry : FindOther(handle);
    }
    const Entry* FindRecent(void* handle) const {
        const auto value = reinterpret_cast<unsigned long long>(handle);
        const Entries::value_type* recentEntry = recent[((value - base) / 4) % RecentSlots];
        return recentEntry != nullptr && base + recentEntry->first * 4 == value
                   ? &recentEntry->second
                   : nullptr;
    }
    const Entry* FindOther(void* handle) const;

    const unsigned long long base;
    mutable Lock lock;
    unsigned long long nextIndex = 1;
    Entries entries;
    // Entries found lately, by the low bits of their index: a program names the same few
    // handles over and over (the file of every request, the event of every wait), and a map
    // node stays put until it is erased.
    static constexpr std::size_t RecentSlots = 8;
    mutable const Entries::value_type* recent[RecentSlots] = {};
};

// Closes handle in table: removes it and tells the object, in owner's context.
bool CloseHandleIn(HandleTable& table, void* handle, Process* owner);

} // namespace host
