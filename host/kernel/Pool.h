// The host's pool: every block tracked with its size, type, tag and the caller's stack, garbage in
// new blocks and poison in freed ones, refusals as bug checks, a leak report, and the controls
// tests use to make allocations fail.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <ntddk.h>

namespace host {

// A new block is filled with PoolFreshFill, so code that relies on zeroed memory misbehaves; a
// freed block is filled with PoolFreedFill and kept out of reuse for a while, so use after free
// reads poison and a second free is recognised as such.
constexpr unsigned char PoolFreshFill = 0xC5;
constexpr unsigned char PoolFreedFill = 0xDF;

// Larger requests fail (return null) rather than exhaust the test machine.
constexpr size_t PoolMaximumBlockSize = size_t(1) << 30;

struct PoolCounters {
    unsigned long long allocations = 0; // calls that returned a block
    unsigned long long failures = 0;    // calls that returned null (injected or too large)
    size_t liveBlocks = 0;
    size_t liveBytes = 0; // as requested, not rounded up
};

// All of these act on the current machine's pool.
PoolCounters GetPoolCounters();

// Makes the nth allocation from now fail (1 is the next one); the ones after it succeed again.
// 0 cancels a pending one.
void FailNthPoolAllocation(unsigned n);

// Makes every allocation fail whose caller's stack has a frame whose demangled function name
// contains text ("StartDevice", "AdapterCommon::Init"). Several texts may be active at once.
void FailPoolAllocationsFrom(const std::string& text);

// Cancels every injected failure.
void ClearPoolFaultInjection();

// The type and tag of the live block that starts at block; nothing when block is not one.
std::optional<POOL_TYPE> PoolTypeOf(const void* block);
std::optional<ULONG> PoolTagOf(const void* block);

// "NonPagedPoolNx", "PagedPool", ...; "pool type N" for a value the host does not know.
std::string PoolTypeName(POOL_TYPE type);

} // namespace host
