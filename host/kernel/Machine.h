// The simulated Windows machine that the driver runs on. Every piece of host state (pool,
// threads, devices, processes, registry, ...) belongs to the one current Machine, so each test
// builds a fresh machine and nothing survives it. Subsystems are created on first use and
// destroyed, in reverse order of creation, with the machine.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

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
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that kernel calls act on. A kernel call without a machine is a test bug and
    // stops the process with a message.
    static Machine& Current();
    static Machine* CurrentOrNull();

    // The machine's instance of subsystem T, created on first use.
    template <class T>
    T& Get() {
        std::lock_guard<std::mutex> hold(lock);
        auto found = subsystems.find(std::type_index(typeid(T)));
        if (found != subsystems.end()) {
            return *static_cast<T*>(found->second);
        }
        auto created = std::make_unique<T>();
        T* result = created.get();
        subsystems.emplace(std::type_index(typeid(T)), result);
        order.emplace_back(std::type_index(typeid(T)), std::move(created));
        return *result;
    }

    // Every problem the subsystems report now, one line each; empty when all is clean.
    std::vector<std::string> Verify();

private:
    std::mutex lock;
    std::unordered_map<std::type_index, Subsystem*> subsystems;
    std::vector<std::pair<std::type_index, std::unique_ptr<Subsystem>>> order;
};

} // namespace host
