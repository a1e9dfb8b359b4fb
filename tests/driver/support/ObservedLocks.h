// The driver's recursive locks with their bookkeeping exposed and their kernel acquire counted.
// Defined in a file built without RTTI: the driver's classes carry no type information, so a
// derived class may only have its virtual table (and with it its type information) emitted
// where none is asked for.
#pragma once

#include <atomic>

#include "support/Locks.h"

#define CONDUIT_OBSERVED_LOCK(Name, Base)                                                          \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        ULONG Recursion() const { return recursion; }                                              \
        PKTHREAD Owner() const { return owner; }                                                   \
        VOID Acquire() override; /* counts, then acquires */                                       \
        std::atomic<int> acquiresEntered{0};                                                       \
    };

CONDUIT_OBSERVED_LOCK(ObservedRecursiveMutex, RecursiveMutex)
CONDUIT_OBSERVED_LOCK(ObservedRecursiveSpinLock, RecursiveSpinLock)

#undef CONDUIT_OBSERVED_LOCK
