// The counting acquire of the observed locks (built without RTTI, see ObservedLocks.h).
#include "ObservedLocks.h"

VOID ObservedRecursiveMutex::Acquire() {
    acquiresEntered++;
    RecursiveMutex::Acquire();
}

VOID ObservedRecursiveSpinLock::Acquire() {
    acquiresEntered++;
    RecursiveSpinLock::Acquire();
}
