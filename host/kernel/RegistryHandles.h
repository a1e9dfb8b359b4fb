// The table of registry key handles. Kept behind this small interface so that it can become a
// part of the kernel's object manager and its handle tables when they exist.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <ntddk.h>

#include "CallStack.h"

namespace host {

class Process;
struct RegistryKey;

struct KeyHandle {
    RegistryKey* key = nullptr;
    ACCESS_MASK grantedAccess = 0;
    // A kernel handle (OBJ_KERNEL_HANDLE from kernel mode) is valid in every process context; any
    // other handle belongs to the process it was opened in (null: the system process).
    bool kernelHandle = false;
    Process* process = nullptr;
    const char* openedWith = "";
    unsigned long long sequence = 0; // set by the table
    CallStack openedBy;
};

class KeyHandleTable {
public:
    // Kernel handle values have the top bit set, as on Windows; process handle values are
    // multiples of 4 below 2 GiB (usable by 32-bit processes). Both ranges lie apart from the
    // object manager's handle tables until the registry's handles move into them. Values are never
    // reused within a machine, so a stale handle names nothing.
    HANDLE Insert(KeyHandle handle);
    const KeyHandle* Find(HANDLE handle) const;
    bool Remove(HANDLE handle);
    size_t Count() const { return entries.size(); }
    // One line per open handle, in the order they were opened.
    std::vector<std::string> Describe() const;

private:
    unsigned long long nextIndex = 1;
    std::map<unsigned long long, KeyHandle> entries;
};

} // namespace host
