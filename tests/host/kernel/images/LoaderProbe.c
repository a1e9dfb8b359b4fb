/* A small Windows-built image for the host loader's tests: data that needs relocating, imports
   by name from two modules (a routine and a variable), a read of the processor block, and calls
   made with and without a structured-exception scope (the driver's guarded-call routine, assembled with this image's
   callee slot). The entry point fills in a probe of what the test then checks or calls. */
typedef unsigned long long ULONG64;

__declspec(dllimport) ULONG64 RtlCompareMemory(const void* first, const void* second, ULONG64 n);
__declspec(dllimport) long long KeQueryPerformanceCounter(long long* frequency);
__declspec(dllimport) extern unsigned char KdDebuggerEnabled;

long MapLockedPagesGuarded(void* mdl, char mode, int cacheType, void* address, unsigned bugCheck,
                           unsigned priority, void** mapped);

/* What the guarded routine and CallUnguarded call; the test sets it. */
void* (*probeCallee)(void);

struct Probe {
    const char* const* words;
    ULONG64 compared;
    long long frequency;
    const unsigned char* debuggerFlag;
    void* guarded;
    void* unguarded;
    void* (**callee)(void);
    void* thread; /* the current thread, read as the kernel's inline KeGetCurrentThread does */
};

static const char* const words[] = {"relocated", "pointers"};

__attribute__((noinline)) long long CallUnguarded(void) {
    return (long long)probeCallee() + 1;
}

long ProbeEntry(struct Probe* probe) {
    probe->words = words;
    probe->compared = RtlCompareMemory("abcdef", "abcxef", 6);
    KeQueryPerformanceCounter(&probe->frequency);
    probe->debuggerFlag = &KdDebuggerEnabled;
    probe->guarded = (void*)MapLockedPagesGuarded;
    probe->unguarded = (void*)CallUnguarded;
    probe->callee = &probeCallee;
    __asm__ volatile("movq %%gs:0x188, %0" : "=r"(probe->thread));
    return 0x1234;
}
