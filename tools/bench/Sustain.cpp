// The sustained-period search. Each attempt is a real-time end-to-end run at 48 kHz stereo in
// position mode, the engines in low-latency mode asking for periods of the size under test
// (two per buffer) and the client asking for no least buffer. It runs unpinned, as the demo
// does: the answer is what this machine sustains, not what one CPU does. A size is sustained
// when the run ends bit-exact both ways with no glitch, late packet or dropped client frame.
#include "Sustain.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd.h"
#include "System.h"

namespace bench {

namespace {

constexpr std::uint32_t Rate = 48000;
constexpr std::uint32_t FrameBytes = 4;
// Period sizes tried, in frames at 48 kHz, from 0.67 ms to 10 ms.
constexpr std::uint32_t Candidates[] = {32, 48, 64, 96, 128, 192, 256, 480};

struct Attempt {
    bool setUp = false;
    bool sustained = false;
    std::uint32_t periodFrames = 0;
    std::uint32_t declaredFrames = 0; // what the filter declares at this format
    std::string reason;
};

// periodFrames 0: the declared period itself.
Attempt Run(std::uint32_t periodFrames, double seconds) {
    conduit::tool::EndToEndOptions options;
    options.mode = host::engine::TransferMode::Position;
    options.lowLatency = true;
    options.latencyFrames = 0;
    options.engineRequestBytes = 2 * periodFrames * FrameBytes;
    options.format = conduit::DeviceFormat{Rate, 16, 2, 2, 0};
    options.frames = static_cast<std::uint64_t>(seconds * Rate);
    options.stopAtFirstLoss = true;
    const LoadMeter meter;
    const conduit::tool::EndToEndResult result = conduit::tool::RunEndToEnd(options);
    const LoadSample load = meter.Read();

    Attempt attempt;
    attempt.setUp = result.framesPerPeriod != 0;
    attempt.periodFrames = result.framesPerPeriod;
    attempt.declaredFrames = result.declared.periodFrames;
    std::uint64_t lost = 0;
    for (const conduit::tool::DirectionResult* direction : {&result.play, &result.record}) {
        lost += direction->engine.glitches + direction->engine.latePackets +
                direction->session.framesDropped;
    }
    attempt.sustained = result.passed() && lost == 0;
    if (!result.completed) {
        attempt.reason = result.failure;
    } else if (!attempt.sustained) {
        attempt.reason = lost != 0 ? "periods or frames lost" : "not bit-exact";
    }
    std::printf("  %4u frames (%.3f ms): %s  [load average %.2f, steal %.1f%%]\n",
                attempt.periodFrames, 1000.0 * attempt.periodFrames / Rate,
                attempt.sustained ? "sustained" : ("NOT sustained: " + attempt.reason).c_str(),
                load.average, load.stealPercent);
    return attempt;
}

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The machine's own floor under the search: a bare thread in the driver worker's real-time
// class sleeps to absolute deadlines one period apart, with nothing else to do, and reports how
// late it woke. A period can be sustained only if wake-ups this late are rare enough.
void ReportBareWakeups(std::uint32_t periodFrames, double seconds) {
    const std::int64_t period = 1000000000LL * periodFrames / Rate;
    const auto count = static_cast<std::size_t>(seconds * 1e9 / static_cast<double>(period));
    std::vector<std::int64_t> delays;
    delays.reserve(count);
    bool realTime = false;
    std::thread sleeper([&] {
        realTime = BecomeWorkerClass();
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (std::size_t index = 0; index < count; index++) {
            const std::int64_t due = Nanoseconds(next) + period;
            next.tv_sec = static_cast<time_t>(due / 1000000000);
            next.tv_nsec = static_cast<long>(due % 1000000000);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            delays.push_back(Nanoseconds(now) - due);
        }
    });
    sleeper.join();
    if (delays.empty()) {
        return;
    }
    const std::size_t late = static_cast<std::size_t>(
        std::count_if(delays.begin(), delays.end(), [&](std::int64_t d) { return d > period; }));
    std::sort(delays.begin(), delays.end());
    auto at = [&](double share) {
        return delays[std::min(delays.size() - 1,
                               static_cast<std::size_t>(share * delays.size()))] /
               1000.0;
    };
    std::printf("  bare wake-ups every %u frames (%.3f ms) for %.0f s%s: p50 %.0f us, p99 %.0f us, "
                "p99.9 %.0f us, max %.0f us; %zu of %zu later than a whole period\n",
                periodFrames, period / 1e6, seconds,
                realTime ? "" : " (NOT in the real-time class)", at(0.5), at(0.99), at(0.999),
                delays.back() / 1000.0, late, delays.size());
}

void Unpin() {
    cpu_set_t all;
    CPU_ZERO(&all);
    for (int cpu = 0; cpu < CpuCount(); cpu++) {
        CPU_SET(cpu, &all);
    }
    sched_setaffinity(0, sizeof(all), &all);
}

} // namespace

bool ReportSmallestSustainedPeriod(double seconds) {
    std::printf("\nsustain:  the smallest period run for %.0f s without losing one (48 kHz "
                "stereo, position mode, both directions, unpinned, the engines' and the "
                "client's threads in the real-time class), from the declared period down, or "
                "up when it is not sustained:\n",
                seconds);
    Unpin(); // the threads of each run are created from here and inherit it
    ReportBareWakeups(64, std::max(1.0, seconds / 6));
    const Attempt declared = Run(0, seconds);
    if (!declared.setUp) {
        std::printf("sustain:  FAILED to set up a run: %s\n", declared.reason.c_str());
        return false;
    }
    std::uint32_t smallest = declared.sustained ? declared.periodFrames : 0;
    if (declared.sustained) {
        for (auto c = std::rbegin(Candidates); c != std::rend(Candidates); ++c) {
            if (*c < declared.periodFrames) {
                if (!Run(*c, seconds).sustained) {
                    break;
                }
                smallest = *c;
            }
        }
    } else {
        for (std::uint32_t candidate : Candidates) {
            if (candidate > declared.periodFrames && Run(candidate, seconds).sustained) {
                smallest = candidate;
                break;
            }
        }
    }
    if (smallest == 0) {
        std::printf("sustain:  no period up to %u frames was sustained\n",
                    Candidates[std::size(Candidates) - 1]);
    } else {
        std::printf("sustain:  smallest period sustained for %.0f s: %u frames (%.3f ms) at "
                    "48 kHz; declared minimum %u frames\n",
                    seconds, smallest, 1000.0 * smallest / Rate, declared.declaredFrames);
    }
    return true;
}

} // namespace bench
