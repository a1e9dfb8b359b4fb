// The current machine and its subsystem registry.
#include "Machine.h"

#include <cstdio>
#include <cstdlib>

namespace host {

namespace {
std::atomic<std::size_t> slotsTaken{0};
std::atomic<std::uint64_t> lastGeneration{0};
} // namespace

Machine* Machine::current = nullptr;

Machine::Machine(MachineTime time) : generation(++lastGeneration), time(time) {
    if (current != nullptr) {
        std::fprintf(stderr, "host: a second Machine was created while one exists\n");
        std::abort();
    }
    current = this;
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
            slots[order.back().first].store(nullptr, std::memory_order_release);
            last = std::move(order.back().second);
            order.pop_back();
        }
        last.reset();
    }
    current = nullptr;
}

HOST_KEEPS_XMM void Machine::NoMachine() {
    std::fprintf(stderr, "host: a kernel call was made with no Machine in place\n");
    std::abort();
}

HOST_KEEPS_XMM std::size_t Machine::AssignSlot(std::atomic<std::size_t>* number) {
    static std::mutex assigning;
    std::lock_guard<std::mutex> hold(assigning);
    std::size_t assigned = number->load(std::memory_order_acquire);
    if (assigned == 0) {
        const std::size_t slot = slotsTaken.fetch_add(1);
        if (slot >= MaximumSubsystems) {
            std::fprintf(stderr, "host: more than %zu kinds of subsystem\n", MaximumSubsystems);
            std::abort();
        }
        assigned = slot + 1;
        number->store(assigned, std::memory_order_release);
    }
    return assigned - 1;
}

HOST_KEEPS_XMM Subsystem* Machine::Create(std::size_t slot, std::unique_ptr<Subsystem> (*make)()) {
    std::lock_guard<std::mutex> hold(lock);
    Subsystem* found = slots[slot].load(std::memory_order_acquire);
    if (found != nullptr) {
        return found; // another thread made it first
    }
    std::unique_ptr<Subsystem> created = make();
    found = created.get();
    order.emplace_back(slot, std::move(created));
    slots[slot].store(found, std::memory_order_release);
    return found;
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
