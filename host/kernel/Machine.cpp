// The current machine and its subsystem registry.
#include "Machine.h"

#include <cstdio>
#include <cstdlib>

namespace host {

namespace {
Machine* currentMachine = nullptr;
}

Machine::Machine() {
    if (currentMachine != nullptr) {
        std::fprintf(stderr, "host: a second Machine was created while one exists\n");
        std::abort();
    }
    currentMachine = this;
}

Machine::~Machine() {
    // Destroy subsystems in reverse order of creation: later ones may refer to earlier ones.
    for (;;) {
        std::unique_ptr<Subsystem> last;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (order.empty()) {
                break;
            }
            subsystems.erase(order.back().first);
            last = std::move(order.back().second);
            order.pop_back();
        }
        last.reset();
    }
    currentMachine = nullptr;
}

Machine& Machine::Current() {
    if (currentMachine == nullptr) {
        std::fprintf(stderr, "host: a kernel call was made with no Machine in place\n");
        std::abort();
    }
    return *currentMachine;
}

Machine* Machine::CurrentOrNull() {
    return currentMachine;
}

std::vector<std::string> Machine::Verify() {
    std::vector<Subsystem*> snapshot;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (auto& entry : order) {
            snapshot.push_back(entry.second.get());
        }
    }
    std::vector<std::string> problems;
    for (Subsystem* subsystem : snapshot) {
        subsystem->Verify(problems);
    }
    return problems;
}

} // namespace host
