// The registry tree, its handle table, its failure injection and the host helpers that read and
// build keys without handles.
#include "RegistryStore.h"

#include <chrono>
#include <cstdio>

namespace host {

namespace {

char16_t UpcaseUnit(char16_t unit) {
    if ((unit >= u'a' && unit <= u'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) {
        return static_cast<char16_t>(unit - 0x20);
    }
    return unit;
}

std::string DescribeStack(const CallStack& stack) {
    if (stack.empty()) {
        return "an unknown caller";
    }
    std::string text = DescribeFrame(stack[0]);
    for (size_t index = 1; index < stack.size() && index <= 4; ++index) {
        text += (index == 1 ? ", called from " : " <- ") + DescribeFrame(stack[index]);
    }
    return text;
}

std::vector<std::u16string> SplitOrDie(const std::u16string& path) {
    std::vector<std::u16string> names;
    if (!Registry::SplitAbsolutePath(path, &names)) {
        std::fprintf(stderr, "host: '%s' is not an absolute registry path\n",
                     RegistryTextToUtf8(path).c_str());
        std::abort();
    }
    return names;
}

} // namespace

std::u16string RegistryUpcase(const std::u16string& text) {
    std::u16string result = text;
    for (char16_t& unit : result) {
        unit = UpcaseUnit(unit);
    }
    return result;
}

std::string RegistryTextToUtf8(const std::u16string& text) {
    std::string result;
    for (size_t index = 0; index < text.size(); ++index) {
        char32_t code = text[index];
        if (code >= 0xD800 && code < 0xDC00 && index + 1 < text.size() &&
            text[index + 1] >= 0xDC00 && text[index + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++index] - 0xDC00);
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

LONGLONG RegistryTimeNow() {
    constexpr LONGLONG UnixEpochIn1601Units = 116444736000000000LL;
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return UnixEpochIn1601Units +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
}

// ---- Keys ----

std::u16string RegistryKey::Path() const {
    if (parent == nullptr) {
        return u"\\" + name;
    }
    return parent->Path() + u"\\" + name;
}

RegistryKey* RegistryKey::Subkey(const std::u16string& subkeyName) const {
    auto found = subkeys.find(RegistryUpcase(subkeyName));
    return found == subkeys.end() ? nullptr : found->second.get();
}

RegistryKey& RegistryKey::AddSubkey(const std::u16string& subkeyName) {
    auto key = std::make_unique<RegistryKey>();
    key->name = subkeyName;
    key->parent = this;
    key->lastWriteTime = RegistryTimeNow();
    RegistryKey& added = *key;
    subkeys.emplace(RegistryUpcase(subkeyName), std::move(key));
    lastWriteTime = added.lastWriteTime;
    return added;
}

const RegistryKey::Value* RegistryKey::FindValue(const std::u16string& valueName) const {
    const std::u16string wanted = RegistryUpcase(valueName);
    for (const Value& value : values) {
        if (RegistryUpcase(value.name) == wanted) {
            return &value;
        }
    }
    return nullptr;
}

void RegistryKey::SetValue(const std::u16string& valueName, ULONG type, std::vector<uint8_t> data) {
    lastWriteTime = RegistryTimeNow();
    const std::u16string wanted = RegistryUpcase(valueName);
    for (Value& value : values) {
        if (RegistryUpcase(value.name) == wanted) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    values.push_back(Value{valueName, type, std::move(data)});
}

// ---- Handles ----

HANDLE KeyHandleTable::Insert(KeyHandle handle) {
    const unsigned long long index = nextIndex++;
    handle.sequence = index;
    const unsigned long long value =
        handle.kernelHandle ? 0xFFFFFFFFC0000000ull + index * 4 : 0x40000000ull + index * 4;
    entries.emplace(value, std::move(handle));
    return reinterpret_cast<HANDLE>(value);
}

const KeyHandle* KeyHandleTable::Find(HANDLE handle) const {
    auto found = entries.find(reinterpret_cast<unsigned long long>(handle));
    return found == entries.end() ? nullptr : &found->second;
}

bool KeyHandleTable::Remove(HANDLE handle) {
    return entries.erase(reinterpret_cast<unsigned long long>(handle)) != 0;
}

std::vector<std::string> KeyHandleTable::Describe() const {
    std::map<unsigned long long, std::string> inOrder;
    for (const auto& entry : entries) {
        const KeyHandle& handle = entry.second;
        char head[96];
        std::snprintf(head, sizeof(head), "registry handle 0x%llx (%s, access 0x%x) to ",
                      entry.first, handle.kernelHandle ? "kernel handle" : "process handle",
                      handle.grantedAccess);
        inOrder.emplace(handle.sequence, std::string(head) +
                                             RegistryTextToUtf8(handle.key->Path()) +
                                             " left open; opened by " + handle.openedWith +
                                             " from " + DescribeStack(handle.openedBy));
    }
    std::vector<std::string> lines;
    for (auto& line : inOrder) {
        lines.push_back(line.second);
    }
    return lines;
}

// ---- The subsystem ----

Registry::Registry() {
    root.name = u"Registry";
    root.lastWriteTime = RegistryTimeNow();
    RegistryKey& machineKey = root.AddSubkey(u"Machine");
    machineKey.AddSubkey(u"SOFTWARE");
    machineKey.AddSubkey(u"SYSTEM");
    root.AddSubkey(u"User");
}

void Registry::Verify(std::vector<std::string>& problems) {
    std::lock_guard<std::mutex> hold(lock);
    for (std::string& line : handles.Describe()) {
        problems.push_back(std::move(line));
    }
}

bool Registry::SplitAbsolutePath(const std::u16string& path, std::vector<std::u16string>* names) {
    names->clear();
    if (path.empty() || path[0] != u'\\') {
        return false;
    }
    size_t start = 1;
    bool first = true;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        std::u16string name = path.substr(start, end - start);
        if (name.empty()) {
            return false;
        }
        if (first) {
            if (RegistryUpcase(name) != u"REGISTRY") {
                return false;
            }
            first = false;
        } else {
            names->push_back(name);
        }
        start = end + 1;
    }
    return !first;
}

RegistryKey* Registry::FindKey(const std::vector<std::u16string>& names) {
    RegistryKey* key = &root;
    for (const std::u16string& name : names) {
        key = key->Subkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

RegistryKey& Registry::CreateKeyPath(const std::vector<std::u16string>& names) {
    RegistryKey* key = &root;
    for (const std::u16string& name : names) {
        RegistryKey* next = key->Subkey(name);
        key = next != nullptr ? next : &key->AddSubkey(name);
    }
    return *key;
}

bool Registry::TakeInjectedFailure(RegistryCall kind, const std::u16string& keyPath,
                                   NTSTATUS* status) {
    if (failCountdown != 0 && --failCountdown == 0) {
        *status = countdownStatus;
        return true;
    }
    const std::u16string upcased = RegistryUpcase(keyPath);
    for (auto pending = pendingFailures.begin(); pending != pendingFailures.end(); ++pending) {
        if (pending->kind == kind && pending->upcasedPath == upcased) {
            *status = pending->status;
            pendingFailures.erase(pending);
            return true;
        }
    }
    return false;
}

Registry& CurrentRegistry() {
    return Machine::Current().Get<Registry>();
}

// ---- Host helpers ----

void CreateRegistryKey(const std::u16string& path) {
    Registry& registry = CurrentRegistry();
    std::vector<std::u16string> names = SplitOrDie(path);
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.CreateKeyPath(names);
}

bool RegistryKeyExists(const std::u16string& path) {
    Registry& registry = CurrentRegistry();
    std::vector<std::u16string> names = SplitOrDie(path);
    std::lock_guard<std::mutex> hold(registry.lock);
    return registry.FindKey(names) != nullptr;
}

void WriteRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                        const std::vector<uint8_t>& data) {
    Registry& registry = CurrentRegistry();
    std::vector<std::u16string> names = SplitOrDie(keyPath);
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.CreateKeyPath(names).SetValue(name, type, data);
}

void WriteRegistryString(const std::u16string& keyPath, const std::u16string& name,
                         const std::u16string& text) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    std::copy(reinterpret_cast<const uint8_t*>(text.data()),
              reinterpret_cast<const uint8_t*>(text.data() + text.size()), data.begin());
    WriteRegistryValue(keyPath, name, REG_SZ, data);
}

std::optional<RegistryValue> ReadRegistryValue(const std::u16string& keyPath,
                                               const std::u16string& name) {
    Registry& registry = CurrentRegistry();
    std::vector<std::u16string> names = SplitOrDie(keyPath);
    std::lock_guard<std::mutex> hold(registry.lock);
    RegistryKey* key = registry.FindKey(names);
    const RegistryKey::Value* value = key != nullptr ? key->FindValue(name) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return RegistryValue{value->type, value->data};
}

std::vector<std::u16string> RegistrySubkeyNames(const std::u16string& keyPath) {
    Registry& registry = CurrentRegistry();
    std::vector<std::u16string> names = SplitOrDie(keyPath);
    std::lock_guard<std::mutex> hold(registry.lock);
    std::vector<std::u16string> result;
    if (RegistryKey* key = registry.FindKey(names)) {
        for (auto& subkey : key->subkeys) {
            result.push_back(subkey.second->name);
        }
    }
    return result;
}

bool IsRegistryHandle(HANDLE handle) {
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return registry.handles.Find(handle) != nullptr;
}

size_t OpenRegistryHandleCount() {
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return registry.handles.Count();
}

void FailNthRegistryCall(unsigned n, NTSTATUS status) {
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.failCountdown = n;
    registry.countdownStatus = status;
}

void FailNextRegistryCall(RegistryCall kind, const std::u16string& keyPath, NTSTATUS status) {
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.pendingFailures.push_back(
        Registry::PendingFailure{kind, RegistryUpcase(keyPath), status});
}

void ClearRegistryFaultInjection() {
    Registry& registry = CurrentRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.failCountdown = 0;
    registry.pendingFailures.clear();
}

} // namespace host
