// Clocks, pinning, scheduling class and process counters for the benchmark.
#include "System.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <fstream>

namespace bench {

namespace {

std::uint64_t ToNs(const timespec& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(time.tv_nsec);
}

} // namespace

std::uint64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ToNs(now);
}

void SleepUntilNs(std::uint64_t deadlineNs) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadlineNs / 1000000000ull);
    deadline.tv_nsec = static_cast<long>(deadlineNs % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

std::uint64_t ProcessCpuNs() {
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return ToNs(used);
}

std::uint64_t ProcessPageFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_minflt) +
           static_cast<std::uint64_t>(usage.ru_majflt);
}

bool PinToCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

int CpuCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

bool BecomeWorkerClass() {
    // The host maps Windows's real-time band 16..31 onto the bottom of the round-robin range.
    sched_param parameters{};
    const int lowest = sched_get_priority_min(SCHED_RR);
    const int highest = sched_get_priority_max(SCHED_RR);
    parameters.sched_priority = std::clamp(lowest + (31 - 16), lowest, highest);
    return pthread_setschedparam(pthread_self(), SCHED_RR, &parameters) == 0;
}

int RealTimeThreads() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(tasks)) {
        const pid_t thread = static_cast<pid_t>(std::atoi(entry->d_name));
        if (thread > 0 && sched_getscheduler(thread) == SCHED_RR) {
            count++;
        }
    }
    closedir(tasks);
    return count;
}

namespace {

// The steal and total jiffies of all CPUs, from the first line of /proc/stat.
void ReadCpuTimes(std::uint64_t* steal, std::uint64_t* total) {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    *steal = 0;
    *total = 0;
    for (int field = 0; field < 10; field++) {
        std::uint64_t value = 0;
        if (!(stat >> value)) {
            break;
        }
        *total += field < 8 ? value : 0; // guest times are already inside user and nice
        if (field == 7) {
            *steal = value;
        }
    }
}

} // namespace

bool LoadSample::High() const {
    // The benchmark keeps about one thread runnable itself.
    return average > 1 + CpuCount() * 0.5 || stealPercent > 2.0;
}

LoadMeter::LoadMeter() {
    ReadCpuTimes(&steal_, &total_);
}

LoadSample LoadMeter::Read() const {
    LoadSample sample;
    std::uint64_t steal = 0;
    std::uint64_t total = 0;
    ReadCpuTimes(&steal, &total);
    if (total > total_) {
        sample.stealPercent =
            100.0 * static_cast<double>(steal - steal_) / static_cast<double>(total - total_);
    }
    std::ifstream("/proc/loadavg") >> sample.average;
    return sample;
}

std::string MachineSummary() {
    std::string model = "unknown CPU";
    std::ifstream cpuInfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuInfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                model = line.substr(colon + 2);
            }
            break;
        }
    }
    utsname system{};
    uname(&system);
    return model + ", " + std::to_string(CpuCount()) + " CPU(s), " + system.sysname + " " +
           system.release;
}

} // namespace bench
