// The counting run. Each phase first runs a tenth of its operations unmeasured (at least 50),
// so that every object, buffer and thread it touches exists: what the phase then counts is the
// steady state. Results go to standard output as one "count" line per phase for the gate.
#include "Count.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "Baseline.h"
#include "Counters.h"
#include "DriverRig.h"
#include "System.h"

namespace bench {

namespace {

struct Phase {
    const char* name;
    std::function<bool()> operation;
};

bool RunPhase(const Phase& phase, int count, bool futexCounted) {
    // Even, so that state changes in pairs leave the stream as they found it.
    const int warmUp = (std::max(50, count / 10) + 1) & ~1;
    for (int index = 0; index < warmUp; index++) {
        if (!phase.operation()) {
            return false;
        }
    }
    BeginPhase();
    const Counts before = ReadCounts();
    for (int index = 0; index < count; index++) {
        if (!phase.operation()) {
            return false;
        }
    }
    const Counts after = ReadCounts();
    EndPhase(phase.name);
    const double ops = count;
    std::printf("count %-18s ops=%d heap=%.3f pool=%.3f switches=%.3f futex=%s\n", phase.name,
                count, static_cast<double>(after.heap - before.heap) / ops,
                static_cast<double>(after.pool - before.pool) / ops,
                static_cast<double>(after.switches - before.switches) / ops,
                futexCounted
                    ? std::to_string(static_cast<double>(after.futex - before.futex) / ops).c_str()
                    : "unknown");
    return true;
}

} // namespace

int RunCounting(int count, int cpu, const std::string& image) {
    std::string why;
    // Before any thread exists: the futex counter follows only threads created after it.
    const bool futexCounted = StartProcessCounters(&why);
    const bool pinned = cpu >= 0 && PinToCpu(cpu);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("conduit-bench --count %d: %s, %s\n", count,
                UnderCallgrind() ? "under callgrind" : "native",
                cpu == -2 ? "not pinned"
                : pinned  ? ("pinned to CPU " + std::to_string(cpu)).c_str()
                          : "pinning FAILED");
    if (!futexCounted) {
        std::printf("futex calls: not counted (%s)\n", why.c_str());
    }
    if (!HeapCounted()) {
        std::printf("heap allocations: not counted in a sanitizer build\n");
    }

    DriverRig rig;
    std::string error;
    if (!rig.Start(image, &error) || !rig.OpenStream(128, &error)) {
        std::printf("setup FAILED: %s\n", error.c_str());
        return 1;
    }
    BareChain chain;
    // Only the operations are counted: no clock is read around them.
    rig.SetTimed(false);
    chain.SetTimed(false);
    // A handshake phase takes an even number of state changes, so the stream ends running.
    const int handshakes = count + count % 2;
    const Phase phases[] = {
        {"tick.subject", [&] { return rig.TickOneWay() >= 0; }},
        {"tick.bare", [&] { return chain.OneWay() >= 0; }},
        {"handshake.subject", [&] { return rig.StateChange() >= 0; }},
        {"handshake.bare", [&] { return chain.RoundTrip() >= 0; }},
    };
    bool good = true;
    for (const Phase& phase : phases) {
        const bool handshake = std::string(phase.name).rfind("handshake", 0) == 0;
        good = RunPhase(phase, handshake ? handshakes : count, futexCounted) && rig.EnsureRunning();
        if (!good) {
            std::printf("phase %s FAILED (%llu failed requests)\n", phase.name,
                        static_cast<unsigned long long>(rig.failures()));
            break;
        }
    }
    good = rig.CloseStream(&error) && good;
    std::vector<std::string> findings = rig.Shutdown();
    for (const std::string& finding : findings) {
        std::printf("verifier: %s\n", finding.c_str());
    }
    return good && findings.empty() ? 0 : 1;
}

} // namespace bench
