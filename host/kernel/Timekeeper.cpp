// The machine's clocks, and the virtual clock's count of the process's threads.
#include "Timekeeper.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "Machine.h"

namespace host {

namespace {

LONGLONG Read(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<LONGLONG>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

// Calls visit(thread id) for every thread of the process, from the kernel's own list; false
// when the list cannot be read. Reads with getdents64 into a stack buffer: no allocation, so it
// may run under the dispatcher lock.
template <class Visit>
bool ForEachProcessThread(Visit visit) {
    int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return false;
    }
    alignas(8) char buffer[4096];
    for (;;) {
        long bytes = syscall(SYS_getdents64, directory, buffer, sizeof(buffer));
        if (bytes <= 0) {
            break;
        }
        for (long offset = 0; offset < bytes;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            if (entry->d_name[0] != '.') {
                visit(static_cast<pid_t>(std::atoi(entry->d_name)));
            }
            offset += entry->d_reclen;
        }
    }
    close(directory);
    return true;
}

} // namespace

Timekeeper::Timekeeper(MachineTime mode) : virtual_(mode == MachineTime::Virtual) {
    if (!virtual_) {
        return;
    }
    // A runtime may start its helper thread with the process's first thread (ThreadSanitizer
    // does): make it start now, so that it is among the threads found below.
    std::thread([] {}).join();
    const pid_t self = gettid();
    ForEachProcessThread([&](pid_t thread) {
        if (thread != self) {
            foreign_.push_back(thread);
        }
    });
}

LONGLONG Timekeeper::InterruptTime() const {
    return Read(CLOCK_MONOTONIC) + Offset();
}

LONGLONG Timekeeper::SystemTime() const {
    return Read(CLOCK_REALTIME) + SystemTimeOfUnixEpoch + Offset();
}

bool Timekeeper::IsForeign(pid_t thread) const {
    return std::find(foreign_.begin(), foreign_.end(), thread) != foreign_.end();
}

bool Timekeeper::EveryThreadBlocked(std::size_t blockedThreads) const {
    std::size_t threads = 0;
    const bool listed = ForEachProcessThread([&](pid_t thread) {
        if (!IsForeign(thread)) {
            threads++;
        }
    });
    // Every blocked thread is a live thread of the process, so equal counts are equal sets.
    // Without the list no thread can be shown to be blocked.
    return listed && threads <= blockedThreads;
}

void Timekeeper::Advance(LONGLONG by) {
    if (by > 0) {
        offset_.fetch_add(by, std::memory_order_acq_rel);
    }
}

LONGLONG InterruptTime() {
    Machine* machine = Machine::CurrentOrNull();
    return machine != nullptr ? machine->Time().InterruptTime() : Read(CLOCK_MONOTONIC);
}

LONGLONG CurrentSystemTime() {
    Machine* machine = Machine::CurrentOrNull();
    return machine != nullptr ? machine->Time().SystemTime()
                              : Read(CLOCK_REALTIME) + SystemTimeOfUnixEpoch;
}

} // namespace host
