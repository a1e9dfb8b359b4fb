// KeQueryPerformanceCounter and KeQuerySystemTime over the machine's time.
#include "Clock.h"

#include <ntddk.h>

#include "Machine.h"

namespace host {

namespace {

// The counter counts the interrupt time's 100 ns units.
constexpr LONGLONG PerformanceFrequency = 10000000;

struct Clock : Subsystem {
    bool performanceCounterPresent = true;
};

} // namespace

void SetPerformanceCounterPresent(bool present) {
    Machine::Current().Get<Clock>().performanceCounterPresent = present;
}

} // namespace host

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    host::Machine& machine = host::Machine::Current();
    const bool present = machine.Get<host::Clock>().performanceCounterPresent;
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = present ? host::PerformanceFrequency : 0;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = present ? machine.Time().InterruptTime() : 0;
    return counter;
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = host::Machine::Current().Time().SystemTime();
}
