// The per-thread block behind gs that a Windows-built driver image reads as its processor control
// region: on x64 Windows an inline KeGetCurrentThread is a load from gs:[0x188].
#pragma once

#include <ntddk.h>

namespace host {

// Offsets in the block, as in the x64 processor control region.
constexpr unsigned ProcessorBlockSelfOffset = 0x18;
constexpr unsigned ProcessorBlockPrcbOffset = 0x20;
constexpr unsigned ProcessorBlockCurrentThreadOffset = 0x188;

// Makes thread the calling OS thread's current thread as the image sees it, installing the
// thread's block behind gs on first use. Called whenever the host gives a thread its object.
void SetProcessorBlockThread(PKTHREAD thread);

// Before the host calls into a driver on the calling OS thread: gives the thread its thread
// object (and so its block), since a Windows-built image reads the current thread from gs
// without asking the host.
void PrepareThreadForDriver();

// What the calling thread's block holds now (null when it has none).
PKTHREAD ProcessorBlockThread();

} // namespace host
