// The counters of the counting mode: getrusage for context switches, a perf tracepoint counter
// (inherited by every thread created afterwards) for futex calls, callgrind client requests.
#include "Counters.h"

#include <linux/perf_event.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <valgrind/callgrind.h>

#include "HeapCounter.h"
#include "kernel/Pool.h"
#include "kernel/Machine.h"

namespace bench {

namespace {

int futexCounter = -1;

long TracepointId(const char* event) {
    for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
        std::ifstream file(std::string(root) + "/events/" + event + "/id");
        long id = -1;
        if (file >> id) {
            return id;
        }
    }
    return -1;
}

} // namespace

bool StartProcessCounters(std::string* why) {
    const long id = TracepointId("syscalls/sys_enter_futex");
    if (id < 0) {
        *why = "no syscalls/sys_enter_futex tracepoint (tracefs not mounted?)";
        return false;
    }
    perf_event_attr attributes;
    std::memset(&attributes, 0, sizeof(attributes));
    attributes.type = PERF_TYPE_TRACEPOINT;
    attributes.size = sizeof(attributes);
    attributes.config = static_cast<std::uint64_t>(id);
    attributes.inherit = 1;
    futexCounter = static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, 0));
    if (futexCounter < 0) {
        *why = std::string("perf_event_open refused the futex tracepoint: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool HeapCounted() {
    return HeapAllocationsCounted();
}

Counts ReadCounts() {
    Counts counts;
    counts.heap = HeapAllocations();
    if (host::Machine::CurrentOrNull() != nullptr) {
        counts.pool = host::GetPoolCounters().allocations;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    counts.switches = static_cast<std::uint64_t>(usage.ru_nvcsw + usage.ru_nivcsw);
    std::uint64_t value = 0;
    if (futexCounter >= 0 && read(futexCounter, &value, sizeof(value)) == sizeof(value)) {
        counts.futex = value;
    }
    return counts;
}

bool UnderCallgrind() {
    return RUNNING_ON_VALGRIND != 0;
}

void BeginPhase() {
    CALLGRIND_ZERO_STATS;
}

void EndPhase(const char* name) {
    CALLGRIND_DUMP_STATS_AT(name);
}

} // namespace bench
