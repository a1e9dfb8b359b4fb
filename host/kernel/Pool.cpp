// ExAllocatePool and ExFreePool over the C library's heap, with the bookkeeping that makes the
// pool a test instrument: each block's size, type, tag and caller; fault injection; quarantined,
// poisoned frees; and the leak report of the verifier.
#include "Pool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "BugCheck.h"
#include "CallStack.h"
#include "Irql.h"
#include "Machine.h"
#include "MemoryManager.h"

namespace host {

namespace {

// ExAllocatePool is ExAllocatePoolWithTag with the tag "None".
constexpr ULONG UntaggedPoolTag = 0x656E6F4E;

// Freed blocks stay poisoned and out of the heap until the quarantine passes either bound.
constexpr size_t QuarantineMaximumBlocks = 4096;
constexpr size_t QuarantineMaximumBytes = size_t(64) << 20;

// BAD_POOL_CALLER first parameters, as Windows gives them.
constexpr ULONG_PTR PoolFreedTwice = 0x07;
constexpr ULONG_PTR PoolFreedWithWrongTag = 0x0A;
constexpr ULONG_PTR PoolFreedInvalidAddress = 0x46;
constexpr ULONG_PTR PoolMustSucceedRequested = 0x9A;
// Not a Windows value: a pool type the host does not implement.
constexpr ULONG_PTR PoolTypeUnsupported = 0xFF;

bool IsKnownPoolType(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
        return true;
    default:
        return false;
    }
}

bool IsPaged(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned;
}

bool IsCacheAligned(POOL_TYPE type) {
    return type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned ||
           type == NonPagedPoolNxCacheAligned;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Hex(uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}

struct Block {
    size_t size;
    POOL_TYPE type;
    ULONG tag;
    unsigned long long sequence;
    CallStack allocatedBy;
};

struct FreedBlock {
    void* address;
    size_t size;
    CallStack allocatedBy;
    CallStack freedBy;
};

std::string DescribeStack(const CallStack& stack) {
    if (stack.empty()) {
        return "an unknown caller";
    }
    std::string text = DescribeFrame(stack[0]);
    for (size_t index = 1; index < stack.size() && index <= 4; ++index) {
        text += (index == 1 ? ", called from " : " <- ") + DescribeFrame(stack[index]);
    }
    return text;
}

class Pool : public Subsystem {
public:
    ~Pool() override {
        for (auto& live : blocks) {
            std::free(reinterpret_cast<void*>(live.first));
        }
        for (FreedBlock& freed : quarantine) {
            std::free(freed.address);
        }
    }

    void Verify(std::vector<std::string>& problems) override {
        std::lock_guard<std::mutex> hold(lock);
        std::map<unsigned long long, const Block*> inOrder;
        for (auto& live : blocks) {
            inOrder.emplace(live.second.sequence, &live.second);
        }
        for (auto& entry : inOrder) {
            const Block& block = *entry.second;
            problems.push_back("leaked " + std::to_string(block.size) + " bytes of " +
                               PoolTypeName(block.type) + " (tag '" + TagText(block.tag) +
                               "') allocated by " + DescribeStack(block.allocatedBy));
        }
    }

    void* Allocate(POOL_TYPE type, size_t size, ULONG tag, CallStack stack) {
        std::lock_guard<std::mutex> hold(lock);
        if (ShouldFail(stack) || size > PoolMaximumBlockSize) {
            ++counters.failures;
            return nullptr;
        }
        size_t alignment = IsCacheAligned(type) ? 64 : 16;
        size_t rounded = (std::max<size_t>(size, 1) + alignment - 1) / alignment * alignment;
        void* memory = std::aligned_alloc(alignment, rounded);
        if (memory == nullptr) {
            ++counters.failures;
            return nullptr;
        }
        std::memset(memory, PoolFreshFill, rounded);
        blocks.emplace(reinterpret_cast<uintptr_t>(memory),
                       Block{size, type, tag, ++sequence, std::move(stack)});
        ++counters.allocations;
        ++counters.liveBlocks;
        counters.liveBytes += size;
        return memory;
    }

    // Returns the tag the block was allocated with.
    ULONG Free(void* address, ULONG tag, bool checkTag, CallStack stack, const char* routine) {
        std::unique_lock<std::mutex> hold(lock);
        auto found = blocks.find(reinterpret_cast<uintptr_t>(address));
        if (found == blocks.end()) {
            Refusal refusal = RefuseUnknownFree(address, routine);
            hold.unlock();
            BugCheck(BAD_POOL_CALLER, refusal.reason, reinterpret_cast<uintptr_t>(address), 0, 0,
                     refusal.explanation);
        }
        Block& block = found->second;
        if (checkTag && tag != block.tag) {
            std::string explanation =
                std::string(routine) + " of " + Hex(reinterpret_cast<uintptr_t>(address)) +
                " with tag '" + TagText(tag) + "', but it was allocated with tag '" +
                TagText(block.tag) + "' by " + DescribeStack(block.allocatedBy);
            ULONG allocatedTag = block.tag;
            hold.unlock();
            BugCheck(BAD_POOL_CALLER, PoolFreedWithWrongTag, reinterpret_cast<uintptr_t>(address),
                     allocatedTag, tag, explanation);
        }
        if (IsPaged(block.type) && CurrentIrql() > APC_LEVEL) {
            hold.unlock();
            RequireIrqlAtMost(APC_LEVEL, (std::string(routine) + "(PagedPool block)").c_str());
        }
        size_t size = block.size;
        const ULONG allocatedTag = block.tag;
        CallStack allocatedBy = std::move(block.allocatedBy);
        blocks.erase(found);
        --counters.liveBlocks;
        counters.liveBytes -= size;
        std::memset(address, PoolFreedFill, std::max<size_t>(size, 1));
        quarantine.push_back({address, size, std::move(allocatedBy), std::move(stack)});
        quarantined.emplace(reinterpret_cast<uintptr_t>(address), &quarantine.back());
        quarantineBytes += size;
        while (quarantine.size() > QuarantineMaximumBlocks ||
               quarantineBytes > QuarantineMaximumBytes) {
            FreedBlock& oldest = quarantine.front();
            quarantined.erase(reinterpret_cast<uintptr_t>(oldest.address));
            quarantineBytes -= oldest.size;
            std::free(oldest.address);
            quarantine.pop_front();
        }
        return allocatedTag;
    }

    const Block* Find(const void* address) {
        auto found = blocks.find(reinterpret_cast<uintptr_t>(address));
        return found == blocks.end() ? nullptr : &found->second;
    }

    std::mutex lock;
    PoolCounters counters;
    unsigned failCountdown = 0;
    std::vector<std::string> failingFunctions;

private:
    bool ShouldFail(const CallStack& stack) {
        if (failCountdown != 0 && --failCountdown == 0) {
            return true;
        }
        if (failingFunctions.empty()) {
            return false;
        }
        for (void* frame : stack) {
            auto cached = frameNames.find(frame);
            if (cached == frameNames.end()) {
                cached = frameNames.emplace(frame, FrameFunctionName(frame)).first;
            }
            for (const std::string& text : failingFunctions) {
                if (cached->second.find(text) != std::string::npos) {
                    return true;
                }
            }
        }
        return false;
    }

    struct Refusal {
        ULONG_PTR reason;
        std::string explanation;
    };

    // Why freeing address is refused: a second free, a pointer into a block, or a pointer the
    // pool never handed out.
    Refusal RefuseUnknownFree(void* address, const char* routine) {
        uintptr_t value = reinterpret_cast<uintptr_t>(address);
        std::string start = std::string(routine) + " of " + Hex(value);
        auto freed = quarantined.find(value);
        if (freed != quarantined.end()) {
            return {PoolFreedTwice, start + ": the block was freed twice; it was allocated by " +
                                        DescribeStack(freed->second->allocatedBy) +
                                        ", and first freed by " +
                                        DescribeStack(freed->second->freedBy)};
        }
        auto after = blocks.upper_bound(value);
        if (after != blocks.begin()) {
            auto containing = std::prev(after);
            if (value < containing->first + std::max<size_t>(containing->second.size, 1)) {
                return {PoolFreedInvalidAddress,
                        start + ", which points " + std::to_string(value - containing->first) +
                            " bytes into the " + std::to_string(containing->second.size) +
                            "-byte block allocated by " +
                            DescribeStack(containing->second.allocatedBy)};
            }
        }
        return {PoolFreedInvalidAddress, start + ", which is not a pool block"};
    }

    std::map<uintptr_t, Block> blocks;
    std::deque<FreedBlock> quarantine;
    std::unordered_map<uintptr_t, FreedBlock*> quarantined;
    size_t quarantineBytes = 0;
    unsigned long long sequence = 0;
    std::unordered_map<void*, std::string> frameNames;
};

Pool& CurrentPool() {
    return Machine::Current().Get<Pool>();
}

void* AllocateFrom(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
    if (type == NonPagedPoolMustSucceed || type == NonPagedPoolCacheAlignedMustS) {
        BugCheck(BAD_POOL_CALLER, PoolMustSucceedRequested, type, size, tag,
                 "must-succeed pool is reserved for the system (" + DescribeFrame(caller) + ")");
    }
    if (!IsKnownPoolType(type)) {
        BugCheck(BAD_POOL_CALLER, PoolTypeUnsupported, type, size, tag,
                 PoolTypeName(type) + " is not a pool type the host implements (" +
                     DescribeFrame(caller) + ")");
    }
    RequireIrqlAtMost(IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL,
                      ("ExAllocatePool(" + PoolTypeName(type) + ")").c_str());
    return CurrentPool().Allocate(type, size, tag, CaptureCallStack(caller));
}

void FreeTo(void* address, ULONG tag, bool checkTag, const void* caller, const char* routine) {
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if (CurrentPool().Free(address, tag, checkTag, CaptureCallStack(caller), routine) ==
        MemoryManager::MdlPoolTag) {
        // MDLs live in the pool: the memory manager checks which free routine fits which kind.
        MemoryManager::Current().MdlStorageFreed(address, CallSite(routine, caller));
    }
}

} // namespace

PoolCounters GetPoolCounters() {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    return pool.counters;
}

void FailNthPoolAllocation(unsigned n) {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.failCountdown = n;
}

void FailPoolAllocationsFrom(const std::string& text) {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.failingFunctions.push_back(text);
}

void ClearPoolFaultInjection() {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.failCountdown = 0;
    pool.failingFunctions.clear();
}

std::optional<POOL_TYPE> PoolTypeOf(const void* block) {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    const Block* found = pool.Find(block);
    return found ? std::optional<POOL_TYPE>(found->type) : std::nullopt;
}

std::optional<ULONG> PoolTagOf(const void* block) {
    Pool& pool = CurrentPool();
    std::lock_guard<std::mutex> hold(pool.lock);
    const Block* found = pool.Find(block);
    return found ? std::optional<ULONG>(found->tag) : std::nullopt;
}

std::string PoolTypeName(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolMustSucceed:
        return "NonPagedPoolMustSucceed";
    case DontUseThisType:
        return "DontUseThisType";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    case NonPagedPoolCacheAlignedMustS:
        return "NonPagedPoolCacheAlignedMustS";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned:
        return "NonPagedPoolNxCacheAligned";
    }
    return "pool type " + std::to_string(static_cast<int>(type));
}

} // namespace host

// The exported routines stay out of line so that their return address is the driver's call site.
extern "C" __attribute__((noinline)) PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType,
                                                                       SIZE_T NumberOfBytes,
                                                                       ULONG Tag) {
    return host::AllocateFrom(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" __attribute__((noinline)) PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType,
                                                                SIZE_T NumberOfBytes) {
    return host::AllocateFrom(PoolType, NumberOfBytes, host::UntaggedPoolTag,
                              __builtin_return_address(0));
}

extern "C" __attribute__((noinline)) VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    // A zero tag asks for no check, as ExFreePool does.
    host::FreeTo(P, Tag, Tag != 0, __builtin_return_address(0), "ExFreePoolWithTag");
}

extern "C" __attribute__((noinline)) VOID NTAPI ExFreePool(PVOID P) {
    host::FreeTo(P, 0, false, __builtin_return_address(0), "ExFreePool");
}
