// Logical user-mode processes. A client program or the simulated audio engine runs "in" a
// process: its threads enter the kernel with that process as their context, user-mode mappings
// land in its address space and its handles live in its handle table. Kernel threads and test
// code outside any process run in the system process (CurrentProcess() returns null).
#pragma once

#include <string>

namespace host {

class Process {
public:
    Process(unsigned id, std::string name, bool is32Bit)
        : id(id), name(std::move(name)), is32Bit(is32Bit) {}
    virtual ~Process() = default;

    const unsigned id;
    const std::string name;
    // A 32-bit (WOW64) process: its mappings lie below 4 GiB and its handles are small.
    const bool is32Bit;
};

// The process whose context the calling thread runs in, or null for the system process.
Process* CurrentProcess();

// Runs the calling thread in process's context until the scope ends (scopes nest).
class ProcessScope {
public:
    explicit ProcessScope(Process* process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Process* previous;
};

} // namespace host
