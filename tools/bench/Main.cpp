// conduit-bench: the audio path's latency, handshake cost, CPU load, copies and page faults,
// each measured against a bare futex baseline in the same run. Not a test: it only reports.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Baseline.h"
#include "ClientDeath.h"
#include "Count.h"
#include "DriverRig.h"
#include "Stats.h"
#include "Sustain.h"
#include "System.h"
#include "kernel/RtlMemory.h"

#ifndef CONDUIT_BENCH_BUILD_TYPE
#define CONDUIT_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

using namespace bench;

struct Plan {
    int repeats = 3;
    int blocks = 10;            // per side, per repeat, alternating baseline and subject
    int samplesPerBlock = 200;  // latency figures
    int warmUp = 10;            // samples (or periods) run before each block, not recorded
    double windowSeconds = 0.5; // CPU figures: one block is one paced window
    int cpu = -1;               // -1: the last CPU; -2: no pinning
    int count = 0;              // > 0: the counting mode with this many operations per phase
    int reruns = 1;             // a repeat measured while the machine was busy runs again
    int deaths = 20;            // rounds of the client-death figure
    double sustainSeconds = 60; // how long a period size must run clean; 0: no search
    std::string image;          // the driver image of the subject; empty: the host build's
};

void Usage() {
    std::printf("usage: conduit-bench [--quick] [--repeats N] [--blocks N] [--samples N]\n"
                "                     [--window SECONDS] [--cpu N | --no-pin] [--reruns N]\n"
                "                     [--deaths N] [--sustain SECONDS] [--image PATH]\n"
                "       conduit-bench --count N [--cpu N | --no-pin] [--image PATH]\n"
                "  --quick     a short run: 3 repeats of 4 blocks of 50 samples, 0.2 s windows,\n"
                "              10 s per sustained-period attempt\n"
                "  --cpu N     pin every thread to CPU N (default: the last CPU)\n"
                "  --no-pin    let the scheduler place threads (figures become bimodal)\n"
                "  --reruns N  measure a repeat again up to N times while the machine is busy\n"
                "              (other work on half the CPUs, or steal over 2 %%; default 1)\n"
                "  --deaths N  rounds of the client-death figure (default 20, --quick 5; 0: none)\n"
                "  --sustain S how long each period size must run clean in the search for the\n"
                "              smallest sustained period (default 60; 0 skips the search)\n"
                "  --image P   the driver image of the subject (a host build or the Windows\n"
                "              conduit.sys; default: the host build's)\n"
                "  --count N   counting mode: N ticks, N handshakes and N of each bare hand-over,\n"
                "              with allocations, context switches and futex calls per operation\n"
                "              (instructions too under callgrind: make bench-gate)\n");
}

bool ParsePlan(int argc, char** argv, Plan* plan) {
    for (int index = 1; index < argc; index++) {
        std::string option = argv[index];
        auto value = [&](double* out) {
            if (index + 1 >= argc) {
                return false;
            }
            char* end = nullptr;
            *out = std::strtod(argv[++index], &end);
            return end != nullptr && *end == '\0' && *out >= 0;
        };
        double number = 0;
        if (option == "--quick") {
            plan->blocks = 4;
            plan->samplesPerBlock = 50;
            plan->windowSeconds = 0.2;
            plan->deaths = 5;
            plan->sustainSeconds = 10;
        } else if (option == "--repeats" && value(&number) && number >= 1) {
            plan->repeats = static_cast<int>(number);
        } else if (option == "--blocks" && value(&number) && number >= 1) {
            plan->blocks = static_cast<int>(number);
        } else if (option == "--samples" && value(&number) && number >= 1) {
            plan->samplesPerBlock = static_cast<int>(number);
        } else if (option == "--window" && value(&number) && number > 0) {
            plan->windowSeconds = number;
        } else if (option == "--cpu" && value(&number)) {
            plan->cpu = static_cast<int>(number);
        } else if (option == "--sustain" && value(&number)) {
            plan->sustainSeconds = number;
        } else if (option == "--reruns" && value(&number)) {
            plan->reruns = static_cast<int>(number);
        } else if (option == "--deaths" && value(&number)) {
            plan->deaths = static_cast<int>(number);
        } else if (option == "--count" && value(&number) && number >= 1) {
            plan->count = static_cast<int>(number);
        } else if (option == "--image" && index + 1 < argc) {
            plan->image = argv[++index];
        } else if (option == "--no-pin") {
            plan->cpu = -2;
        } else {
            return false;
        }
    }
    return true;
}

// One block of a latency figure: warm-up samples dropped, then samplesPerBlock recorded.
// Returns false when a sample failed.
bool LatencyBlock(const Plan& plan, Samples* samples, const std::function<double()>& sample) {
    for (int index = 0; index < plan.warmUp + plan.samplesPerBlock; index++) {
        double value = sample();
        if (value < 0) {
            return false;
        }
        if (index >= plan.warmUp) {
            samples->Add(value / 1000.0); // microseconds
        }
    }
    return true;
}

struct WindowTotals {
    std::uint64_t periods = 0;
    std::uint64_t faults = 0;
    std::uint64_t copiedBytes = 0;
};

// One paced window at rate periods per second: warm-up periods, then enough periods for
// windowSeconds, each at its deadline; one idle period closes the window so the last chain
// finishes inside it. Records CPU milliseconds per simulated second.
bool PacedWindow(const Plan& plan, double rate, Samples* samples, WindowTotals* totals,
                 const std::function<bool()>& tick, const std::function<void()>& drain) {
    const std::uint64_t periodNs = static_cast<std::uint64_t>(1e9 / rate);
    const std::uint64_t periods =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(plan.windowSeconds * rate));
    std::uint64_t deadline = NowNs();
    for (int index = 0; index < plan.warmUp; index++) {
        deadline += periodNs;
        SleepUntilNs(deadline);
        if (!tick()) {
            return false;
        }
    }
    deadline += periodNs;
    SleepUntilNs(deadline);
    const std::uint64_t faults = ProcessPageFaults();
    const std::uint64_t copied = host::DriverCopiedBytes();
    const std::uint64_t cpu = ProcessCpuNs();
    bool good = true;
    for (std::uint64_t index = 0; index < periods && good; index++) {
        deadline += periodNs;
        SleepUntilNs(deadline);
        good = tick();
    }
    deadline += periodNs;
    SleepUntilNs(deadline);
    const std::uint64_t usedNs = ProcessCpuNs() - cpu;
    const std::uint64_t copiedAfter = host::DriverCopiedBytes();
    if (totals != nullptr) {
        totals->periods += periods;
        totals->faults += ProcessPageFaults() - faults;
        totals->copiedBytes += copiedAfter - copied;
    }
    drain();
    if (!good) {
        return false;
    }
    const double simulatedSeconds = static_cast<double>(periods) / rate;
    samples->Add(static_cast<double>(usedNs) / 1e6 / simulatedSeconds);
    return true;
}

void PrintZeroCheck(const char* what, const WindowTotals& subject, const WindowTotals& base) {
    const double periods = static_cast<double>(std::max<std::uint64_t>(1, subject.periods));
    const double basePeriods = static_cast<double>(std::max<std::uint64_t>(1, base.periods));
    std::printf("%-40s periods %8llu | page faults %6llu (%.4f/period; baseline %llu, %.4f/period)"
                " | driver copied %llu B (%.4f B/period)  %s\n",
                what, static_cast<unsigned long long>(subject.periods),
                static_cast<unsigned long long>(subject.faults),
                static_cast<double>(subject.faults) / periods,
                static_cast<unsigned long long>(base.faults),
                static_cast<double>(base.faults) / basePeriods,
                static_cast<unsigned long long>(subject.copiedBytes),
                static_cast<double>(subject.copiedBytes) / periods,
                subject.periods == 0                              ? "not measured"
                : subject.faults == 0 && subject.copiedBytes == 0 ? "ok (both 0)"
                                                                  : "NOT ZERO");
}

// Every figure of a run and the steady-state totals behind the zero checks.
struct Figures {
    Figure tick, handshake, cpu375, cpu100;
    WindowTotals subject375, subject100, base375, base100;

    Figures(const Plan& plan, std::size_t latencyPerRepeat)
        : tick("1 tick one-way (request->wake)", "us", plan.repeats, latencyPerRepeat),
          handshake("2 handshake round trip", "us", plan.repeats, latencyPerRepeat),
          cpu375("3 CPU @375 ticks/s (128 fr)", "ms/s", plan.repeats, plan.blocks),
          cpu100("3 CPU @100 ticks/s (480 fr)", "ms/s", plan.repeats, plan.blocks) {}

    // Drops one repeat's samples, to measure it again.
    void Clear(int repeat) {
        for (Figure* figure : {&tick, &handshake, &cpu375, &cpu100}) {
            figure->baseline[repeat].Clear();
            figure->subject[repeat].Clear();
        }
    }
};

bool RunRepeat(const Plan& plan, int repeat, DriverRig& rig, BareChain& chain, Figures& figures,
               std::string* error) {
    std::printf("repeat %d/%d: 128-frame periods...\n", repeat + 1, plan.repeats);
    bool good = rig.OpenStream(128, error);
    for (int block = 0; block < plan.blocks && good; block++) {
        good = LatencyBlock(plan, &figures.tick.baseline[repeat], [&] { return chain.OneWay(); }) &&
               LatencyBlock(plan, &figures.tick.subject[repeat], [&] { return rig.TickOneWay(); });
    }
    for (int block = 0; block < plan.blocks && good; block++) {
        good = LatencyBlock(plan, &figures.handshake.baseline[repeat],
                            [&] { return chain.RoundTrip(); }) &&
               LatencyBlock(plan, &figures.handshake.subject[repeat],
                            [&] { return rig.StateChange(); }) &&
               rig.EnsureRunning();
    }
    auto pulse = [&] {
        chain.Pulse();
        return true;
    };
    for (int block = 0; block < plan.blocks && good; block++) {
        good = PacedWindow(plan, 375, &figures.cpu375.baseline[repeat], &figures.base375, pulse,
                           [&] { chain.Drain(); }) &&
               PacedWindow(
                   plan, 375, &figures.cpu375.subject[repeat], &figures.subject375,
                   [&] { return rig.PacedTick(); }, [&] { rig.Drain(); });
    }
    good = good && rig.CloseStream(error);
    if (!good) {
        return false;
    }
    std::printf("repeat %d/%d: 480-frame periods...\n", repeat + 1, plan.repeats);
    good = rig.OpenStream(480, error);
    for (int block = 0; block < plan.blocks && good; block++) {
        good = PacedWindow(plan, 100, &figures.cpu100.baseline[repeat], &figures.base100, pulse,
                           [&] { chain.Drain(); }) &&
               PacedWindow(
                   plan, 100, &figures.cpu100.subject[repeat], &figures.subject100,
                   [&] { return rig.PacedTick(); }, [&] { rig.Drain(); });
    }
    return rig.CloseStream(error) && good;
}

// Figure 6: from a client's death in the middle of a handshake to the return of the engine's
// request that waited for it. False when a round could not run.
bool PrintClientDeath(int rounds) {
    if (rounds <= 0) {
        return true;
    }
    std::printf("client death: %d rounds, each in a fresh machine...\n", rounds);
    const conduit::bench::ClientDeathFigures figures =
        conduit::bench::MeasureClientDeath(static_cast<unsigned>(rounds));
    Samples samples;
    for (std::chrono::microseconds sample : figures.deathToReturn) {
        samples.Add(static_cast<double>(sample.count()));
    }
    if (!figures.deathToReturn.empty()) {
        std::printf("%-40s rounds %3zu | min %10.1f | p50 %10.1f | max %10.1f  us\n",
                    "6 client death -> engine's request returns", figures.deathToReturn.size(),
                    samples.Quantile(0.0), samples.Quantile(0.5), samples.Quantile(1.0));
    }
    if (!figures.failure.empty()) {
        std::printf("client death FAILED: %s\n", figures.failure.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Plan plan;
    if (!ParsePlan(argc, argv, &plan)) {
        Usage();
        return 2;
    }
    if (plan.cpu == -1) {
        plan.cpu = CpuCount() - 1;
    }
    if (plan.count > 0) {
        return RunCounting(plan.count, plan.cpu, plan.image);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Pinned before any thread exists, so every thread (the host's too) inherits the CPU.
    const bool pinned = plan.cpu >= 0 && PinToCpu(plan.cpu);
    std::printf("conduit-bench: the driver's audio path inside the host platform, against bare "
                "futex baselines\n");
    std::printf("machine:  %s\n", MachineSummary().c_str());
    std::printf("build:    %s\n", CONDUIT_BENCH_BUILD_TYPE);
    std::printf("threads:  %s\n", plan.cpu == -2 ? "not pinned"
                                  : pinned
                                      ? ("all pinned to CPU " + std::to_string(plan.cpu)).c_str()
                                      : "pinning FAILED: not pinned");
    std::printf("plan:     %d repeats x %d blocks per side (alternating), %d samples per latency "
                "block, %.2f s per CPU window, %d warm-up samples per block\n",
                plan.repeats, plan.blocks, plan.samplesPerBlock, plan.windowSeconds, plan.warmUp);

    DriverRig rig;
    std::string error;
    if (!rig.Start(plan.image, &error)) {
        std::printf("setup FAILED: %s\n", error.c_str());
        return 1;
    }
    BareChain chain;
    std::printf("worker:   baseline worker %s the driver worker's real-time class\n",
                chain.workerRealTime() ? "runs in" : "could NOT take");

    const std::size_t latencyPerRepeat =
        static_cast<std::size_t>(plan.blocks) * static_cast<std::size_t>(plan.samplesPerBlock);
    Figures figures(plan, latencyPerRepeat);
    std::printf("engine:   %s\n", rig.EnginePath().c_str());
    // Setup copies a few names and records through the counted routines: proof that the
    // counter sees the image this run loaded.
    std::printf("counter:  the driver copied %llu B through the counted copy routines during "
                "setup\n",
                static_cast<unsigned long long>(host::DriverCopiedBytes()));

    bool good = true;
    std::vector<LoadSample> loads;
    for (int repeat = 0; repeat < plan.repeats && good; repeat++) {
        for (int attempt = 0;; attempt++) {
            LoadMeter meter;
            good = RunRepeat(plan, repeat, rig, chain, figures, &error);
            const LoadSample load = meter.Read();
            std::printf("repeat %d/%d: load average %.2f, steal %.1f%%%s\n", repeat + 1,
                        plan.repeats, load.average, load.stealPercent,
                        load.High() ? " (high)" : "");
            if (repeat == 0 && attempt == 0) {
                std::printf("rt:       %d thread(s) in the real-time class: the baseline's "
                            "worker and the driver's workers\n",
                            RealTimeThreads());
            }
            if (!good || !load.High() || attempt == plan.reruns) {
                loads.push_back(load);
                break;
            }
            std::printf("repeat %d/%d: measured again, the machine was busy\n", repeat + 1,
                        plan.repeats);
            figures.Clear(repeat);
        }
    }
    if (!good) {
        std::printf("run FAILED: %s (%llu failed requests)\n",
                    error.empty() ? "a request failed" : error.c_str(),
                    static_cast<unsigned long long>(rig.failures()));
    }
    std::vector<std::string> findings = rig.Shutdown();

    PrintTable({&figures.tick, &figures.handshake, &figures.cpu375, &figures.cpu100});
    std::printf("load per repeat (1-minute average, steal):");
    for (const LoadSample& load : loads) {
        std::printf("  %.2f %.1f%%%s", load.average, load.stealPercent, load.High() ? "*" : "");
    }
    std::printf("%s\n", std::any_of(loads.begin(), loads.end(),
                                    [](const LoadSample& load) { return load.High(); })
                            ? "  (* busy machine: wall-clock figures are for information)"
                            : "");
    std::printf("\nratio: median over the repeats of subject p50 / baseline p50. Steady state, "
                "over the subject's paced windows:\n");
    PrintZeroCheck("@375 ticks/s", figures.subject375, figures.base375);
    PrintZeroCheck("@100 ticks/s", figures.subject100, figures.base100);
    if (findings.empty()) {
        std::printf("verifier: clean after the unload\n");
    } else {
        std::printf("verifier: %zu finding(s):\n", findings.size());
        for (const std::string& finding : findings) {
            std::printf("  %s\n", finding.c_str());
        }
    }
    // Its rounds build machines of their own, so it runs once the rig's machine is gone.
    const bool deathsGood = PrintClientDeath(plan.deaths);
    const bool zero = figures.subject375.faults == 0 && figures.subject375.copiedBytes == 0 &&
                      figures.subject100.faults == 0 && figures.subject100.copiedBytes == 0;
    if (!good || !findings.empty() || !deathsGood) {
        return 1;
    }
    if (plan.sustainSeconds > 0 && !ReportSmallestSustainedPeriod(plan.sustainSeconds)) {
        return 1;
    }
    return zero ? 0 : 3;
}
