// Logical user-mode processes. A client program or the simulated audio engine runs "in" a
// process: its threads enter the kernel with that process as their context, user-mode mappings
// land in its address space and its handles live in its handle table. Kernel threads and test
// code outside any process run in the system process (CurrentProcess() returns null).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Handles.h"
#include "Machine.h"

namespace host {

class Process {
public:
    Process(unsigned id, std::string name, bool is32Bit);
    virtual ~Process() = default;

    const unsigned id;
    const std::string name;
    // A 32-bit (WOW64) process: its mappings lie below 4 GiB and its handles are small.
    const bool is32Bit;

    HandleTable& Handles() { return handles; }
    // False from the start of the process's exit on.
    bool IsAlive() const { return alive.load(); }

private:
    friend class Processes;
    HandleTable handles;
    std::atomic<bool> alive{true};
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

// The machine's processes. Processes stay known (as exited) until the machine ends, so a
// pointer to one never dangles in a test.
class Processes : public Subsystem {
public:
    Process& Create(std::string name, bool is32Bit);
    // Ends process as Windows does: every handle it still holds is closed in its context (a
    // file's last handle sends its cleanup from here), then its address space goes with every
    // user view still in it, then its process object is signalled, then the exit observers
    // run. Requests of its threads still in a driver finish later. Exiting twice does nothing.
    void Exit(Process& process);
    // Observers run at every process exit after its handles are closed (a subsystem that keeps
    // per-process state, such as user mappings, releases it here).
    void AddExitObserver(std::function<void(Process&)> observer);

    // The kernel's own handle table (system process, kernel handles).
    HandleTable& KernelHandles() { return kernelHandles; }
    // The table of the current process, or the kernel's in the system process.
    HandleTable& CurrentHandles();

    // Open handles of processes that still exist, and open kernel handles.
    void Verify(std::vector<std::string>& problems) override;

private:
    std::mutex lock;
    unsigned nextId = 0x100;
    std::vector<std::unique_ptr<Process>> processes;
    std::vector<std::function<void(Process&)>> exitObservers;
    HandleTable kernelHandles{0xffffffff80000000ull};
};

} // namespace host
