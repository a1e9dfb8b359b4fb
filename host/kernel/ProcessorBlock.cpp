// The processor block: one per OS thread, installed as the thread's gs base. Only the fields a
// driver may read are filled (the block's own address, the embedded processor block's address
// and the current thread); every other field reads as zero.
#include "ProcessorBlock.h"

#include "Thread.h"

#include <asm/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

struct alignas(64) Block {
    unsigned char bytes[0x200];
};

thread_local Block block;
thread_local bool installed = false;

template <class T>
void Store(unsigned offset, T value) {
    std::memcpy(block.bytes + offset, &value, sizeof(value));
}

void Install() {
    Store(ProcessorBlockSelfOffset, &block);
    Store(ProcessorBlockPrcbOffset, block.bytes + 0x180);
    if (syscall(SYS_arch_prctl, ARCH_SET_GS, reinterpret_cast<unsigned long>(&block)) != 0) {
        std::fprintf(stderr, "host: cannot install the processor block behind gs: %s\n",
                     std::strerror(errno));
        std::abort();
    }
    installed = true;
}

} // namespace

void SetProcessorBlockThread(PKTHREAD thread) {
    if (!installed) {
        Install();
    }
    Store(ProcessorBlockCurrentThreadOffset, thread);
}

void PrepareThreadForDriver() {
    CurrentThread();
}

PKTHREAD ProcessorBlockThread() {
    if (!installed) {
        return nullptr;
    }
    PKTHREAD thread = nullptr;
    std::memcpy(&thread, block.bytes + ProcessorBlockCurrentThreadOffset, sizeof(thread));
    return thread;
}

} // namespace host
