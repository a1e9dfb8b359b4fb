// The calling thread's process context, and the machine's processes.
#include "Process.h"

#include "Memory.h"
#include "Objects.h"

namespace host {

namespace {
thread_local Process* threadProcess = nullptr;

// A 64-bit process's handles lie above 4 GiB so that a handle cut to 32 bits names nothing.
constexpr unsigned long long handleBase64 = 0x00000a5a00000000ull;
} // namespace

Process::Process(unsigned id, std::string name, bool is32Bit)
    : id(id), name(std::move(name)), is32Bit(is32Bit), handles(is32Bit ? 0 : handleBase64) {}

Process* CurrentProcess() {
    return threadProcess;
}

ProcessScope::ProcessScope(Process* process) : previous(threadProcess) {
    threadProcess = process;
}

ProcessScope::~ProcessScope() {
    threadProcess = previous;
}

Process& Processes::Create(std::string name, bool is32Bit) {
    std::lock_guard<std::mutex> hold(lock);
    unsigned id = nextId;
    nextId += 4;
    processes.push_back(std::make_unique<Process>(id, std::move(name), is32Bit));
    return *processes.back();
}

void Processes::Exit(Process& process) {
    if (!process.alive.exchange(false)) {
        return;
    }
    for (void* handle : process.handles.Handles()) {
        CloseHandleIn(process.handles, handle, &process);
    }
    std::vector<std::function<void(Process&)>> observers;
    {
        std::lock_guard<std::mutex> hold(lock);
        observers = exitObservers;
    }
    ProcessScope context(&process);
    // The address space goes after the handles, so a driver's cleanup can still unmap what it
    // mapped; views it could not reach yet (a file still open elsewhere) go with the space.
    ReleaseProcessMappings(&process);
    ObjectManager::Current().MarkExited(&process);
    for (auto& observer : observers) {
        observer(process);
    }
}

void Processes::AddExitObserver(std::function<void(Process&)> observer) {
    std::lock_guard<std::mutex> hold(lock);
    exitObservers.push_back(std::move(observer));
}

HandleTable& Processes::CurrentHandles() {
    Process* process = CurrentProcess();
    return process != nullptr ? process->Handles() : kernelHandles;
}

void Processes::Verify(std::vector<std::string>& problems) {
    std::lock_guard<std::mutex> hold(lock);
    for (const auto& process : processes) {
        if (!process->alive) {
            continue;
        }
        for (const std::string& line : process->handles.Describe()) {
            problems.push_back("handle left open in process " + process->name + " (" +
                               std::to_string(process->id) + "): " + line);
        }
    }
    for (const std::string& line : kernelHandles.Describe()) {
        problems.push_back("kernel handle left open: " + line);
    }
}

} // namespace host
