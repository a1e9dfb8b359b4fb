// The Windows lock: an SRWLOCK in the space the header keeps for it.
#include "Lock.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace conduit::capi {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

void Lock::Acquire() {
    AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_));
}

void Lock::Release() {
    ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&lock_));
}

} // namespace conduit::capi
