// KeQueryPerformanceCounter and KeQuerySystemTime over the host's monotonic and real-time clocks.
#include "Clock.h"

#include <ctime>

#include <ntddk.h>

#include "Machine.h"

namespace host {

namespace {

constexpr LONGLONG PerformanceFrequency = 10000000; // 100-ns ticks
constexpr LONGLONG NanosecondsPerTick = 100;
// 100-ns intervals from 1601-01-01 (the Windows epoch) to 1970-01-01.
constexpr LONGLONG WindowsEpochToUnixEpoch = 116444736000000000LL;

struct Clock : Subsystem {
    bool performanceCounterPresent = true;
};

LONGLONG Ticks(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<LONGLONG>(now.tv_sec) * PerformanceFrequency +
           now.tv_nsec / NanosecondsPerTick;
}

} // namespace

void SetPerformanceCounterPresent(bool present) {
    Machine::Current().Get<Clock>().performanceCounterPresent = present;
}

} // namespace host

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    const bool present = host::Machine::Current().Get<host::Clock>().performanceCounterPresent;
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = present ? host::PerformanceFrequency : 0;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = present ? host::Ticks(CLOCK_MONOTONIC) : 0;
    return counter;
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = host::Ticks(CLOCK_REALTIME) + host::WindowsEpochToUnixEpoch;
}
