// The simulated Windows machine that the driver runs on. Every piece of host state (pool,
// threads, devices, processes, registry, ...) belongs to the one current Machine, so each test
// builds a fresh machine and nothing survives it. Subsystems are created on first use and
// destroyed, in reverse order of creation, with the machine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KeepsXmm.h"
#include "Timekeeper.h"

namespace host {

// One piece of machine state. Verify() adds a line per problem that the verifier must report
// when the driver is unloaded or the test ends (leaked pool blocks, open handles, ...).
class Subsystem {
public:
    virtual ~Subsystem() = default;
    virtual void Verify(std::vector<std::string>& problems) { (void)problems; }
};

class Machine {
public:
    // A test machine keeps virtual time (HostTest); a real run (the demo, the benchmark) the
    // OS's clocks.
    explicit Machine(MachineTime time = MachineTime::Real);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that kernel calls act on. A kernel call without a machine is a test bug and
    // stops the process with a message.
    static Machine& Current() {
        Machine* machine = current;
        if (machine == nullptr) {
            NoMachine();
        }
        return *machine;
    }
    static Machine* CurrentOrNull() { return current; }

    // Tells this machine from every earlier one, also one at the same address: per-OS-thread
    // caches of machine state (the current thread object) are keyed by it.
    const std::uint64_t generation;

    Timekeeper& Time() { return time; }

    // The machine's instance of subsystem T, created on first use. Every kernel call makes
    // several of these lookups, so an existing subsystem is found by an index fixed per type
    // and one atomic load, without the lock.
    template <class T>
    T& Get() {
        Subsystem* found = slots[SlotOf<T>()].load(std::memory_order_acquire);
        if (__builtin_expect(found == nullptr, 0)) {
            found = Create(SlotOf<T>(), &Make<T>);
        }
        return *static_cast<T*>(found);
    }

    // Every problem the subsystems report now, one line each; empty when all is clean.
    std::vector<std::string> Verify();

    static constexpr std::size_t MaximumSubsystems = 64;

private:
    // Slot numbers are handed out on first use, one per subsystem type, and kept as number + 1
    // in a variable of the type that needs no guard to read (0: none yet).
    template <class T>
    static inline std::atomic<std::size_t> slotNumber{0};
    template <class T>
    static std::size_t SlotOf() {
        const std::size_t number = slotNumber<T>.load(std::memory_order_acquire);
        return __builtin_expect(number != 0, 1) ? number - 1 : AssignSlot(&slotNumber<T>);
    }
    template <class T>
    static std::unique_ptr<Subsystem> Make() {
        return std::unique_ptr<Subsystem>(new T());
    }
    // The slot of the type whose number is *number, giving it one if it has none.
    HOST_KEEPS_XMM static std::size_t AssignSlot(std::atomic<std::size_t>* number);
    [[noreturn]] HOST_KEEPS_XMM static void NoMachine();

    // Defined once, in the host library: an inline variable would get a private copy in every
    // shared object that hides its symbols (the client library's version script does), and such
    // a copy never sees the machine.
    static Machine* current;
    HOST_KEEPS_XMM Subsystem* Create(std::size_t slot, std::unique_ptr<Subsystem> (*make)());

    Timekeeper time;
    // Guards creation and destruction; lookups of existing subsystems do not take it.
    std::mutex lock;
    std::atomic<Subsystem*> slots[MaximumSubsystems] = {};
    std::vector<std::pair<std::size_t, std::unique_ptr<Subsystem>>> order;
};

} // namespace host
