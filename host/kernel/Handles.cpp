// Handle tables with Windows-shaped handle values.
#include "Handles.h"

#include <cstdio>

#include "Process.h"

namespace host {

HandleTable::HandleTable(unsigned long long base) : base(base) {}

void* HandleTable::Insert(std::shared_ptr<HandleObject> object, std::uint32_t granted) {
    object->handleCount.fetch_add(1);
    void* body = object->Body();
    _OBJECT_TYPE* type = object->Type();
    std::lock_guard<Lock> hold(lock);
    unsigned long long index = nextIndex++;
    entries.emplace(index, Entry{std::move(object), body, type, granted});
    return reinterpret_cast<void*>(base + index * 4);
}

const HandleTable::Entry* HandleTable::FindOther(void* handle) const {
    auto value = reinterpret_cast<unsigned long long>(handle);
    if (value < base || (value - base) % 4 != 0) {
        return nullptr;
    }
    const unsigned long long index = (value - base) / 4;
    auto found = entries.find(index);
    if (found == entries.end()) {
        return nullptr;
    }
    recent[index % RecentSlots] = &*found;
    return &found->second;
}

std::shared_ptr<HandleObject> HandleTable::Lookup(void* handle, std::uint32_t* granted) const {
    std::lock_guard<Lock> hold(lock);
    const Entry* found = Find(handle);
    if (found == nullptr) {
        return nullptr;
    }
    if (granted != nullptr) {
        *granted = found->granted;
    }
    return found->object;
}

std::shared_ptr<HandleObject> HandleTable::Remove(void* handle, bool* lastHandle) {
    auto value = reinterpret_cast<unsigned long long>(handle);
    if (value < base || (value - base) % 4 != 0) {
        return nullptr;
    }
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard<Lock> hold(lock);
        auto found = entries.find((value - base) / 4);
        if (found == entries.end()) {
            return nullptr;
        }
        object = std::move(found->second.object);
        const Entries::value_type*& slot = recent[found->first % RecentSlots];
        if (slot == &*found) {
            slot = nullptr;
        }
        entries.erase(found);
    }
    *lastHandle = object->handleCount.fetch_sub(1) == 1;
    return object;
}

std::vector<void*> HandleTable::Handles() const {
    std::lock_guard<Lock> hold(lock);
    std::vector<void*> result;
    for (const auto& entry : entries) {
        result.push_back(reinterpret_cast<void*>(base + entry.first * 4));
    }
    return result;
}

size_t HandleTable::Count() const {
    std::lock_guard<Lock> hold(lock);
    return entries.size();
}

std::vector<std::string> HandleTable::Describe() const {
    std::lock_guard<Lock> hold(lock);
    std::vector<std::string> lines;
    for (const auto& entry : entries) {
        char value[32];
        std::snprintf(value, sizeof value, "0x%llx", base + entry.first * 4);
        lines.push_back(std::string(value) + ": " + entry.second.object->Describe());
    }
    return lines;
}

bool CloseHandleIn(HandleTable& table, void* handle, Process* owner) {
    bool lastHandle = false;
    std::shared_ptr<HandleObject> object = table.Remove(handle, &lastHandle);
    if (!object) {
        return false;
    }
    ProcessScope context(owner);
    object->HandleClosed(owner, lastHandle);
    return true;
}

} // namespace host
