// The registry's tree of keys and values, its handle table and its failure injection: one
// machine subsystem behind one lock, shared by the Zw routines and the host's helpers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

#include "Machine.h"
#include "Registry.h"
#include "RegistryHandles.h"

namespace host {

// Windows compares key and value names without regard to case; this is the form compared.
std::u16string RegistryUpcase(const std::u16string& text);

struct RegistryKey {
    struct Value {
        std::u16string name;
        ULONG type;
        std::vector<uint8_t> data;
    };

    std::u16string name;
    RegistryKey* parent = nullptr;
    // Ordered by the upcased name: the order in which Windows enumerates sub-keys.
    std::map<std::u16string, std::unique_ptr<RegistryKey>> subkeys;
    std::vector<Value> values; // in order of creation
    LONGLONG lastWriteTime = 0;

    std::u16string Path() const;
    RegistryKey* Subkey(const std::u16string& subkeyName) const;
    RegistryKey& AddSubkey(const std::u16string& subkeyName);
    const Value* FindValue(const std::u16string& valueName) const;
    void SetValue(const std::u16string& valueName, ULONG type, std::vector<uint8_t> data);
};

class Registry : public Subsystem {
public:
    Registry();
    void Verify(std::vector<std::string>& problems) override;

    std::mutex lock;
    RegistryKey root; // "\Registry"
    KeyHandleTable handles;

    // Splits an absolute path into the key names below "\Registry"; false when it is not one.
    static bool SplitAbsolutePath(const std::u16string& path, std::vector<std::u16string>* names);
    RegistryKey* FindKey(const std::vector<std::u16string>& names);
    RegistryKey& CreateKeyPath(const std::vector<std::u16string>& names);

    // Counts a call and says whether an injected failure takes it (status set then).
    bool TakeInjectedFailure(RegistryCall kind, const std::u16string& keyPath, NTSTATUS* status);

    struct PendingFailure {
        RegistryCall kind;
        std::u16string upcasedPath;
        NTSTATUS status;
    };
    unsigned failCountdown = 0;
    NTSTATUS countdownStatus = STATUS_SUCCESS;
    std::vector<PendingFailure> pendingFailures;
};

Registry& CurrentRegistry();

// Now, in Windows system-time units (100 ns since 1601).
LONGLONG RegistryTimeNow();

} // namespace host
