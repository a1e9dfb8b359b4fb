// A mapping of locked pages into user space reports failure by raising a structured exception
// that must be caught where the mapping is made. C++ without __try cannot catch it, so every
// such mapping goes through this one wrapper, implemented per toolchain: __try/__except for
// MSVC, an assembly routine with its own scope table for mingw-w64, and by the host platform on
// Linux (which "raises" by returning the exception code through the same wrapper).
#pragma once

#include "KernelHeaders.h"

// MmMapLockedPagesSpecifyCache with the exception caught. Returns STATUS_SUCCESS and the
// mapping (which may be null when the call returned null without raising) in *mappedAddress,
// or the raised exception's code with *mappedAddress null.
EXTERN_C NTSTATUS NTAPI MapLockedPagesGuarded(PMDL memoryDescriptorList, KPROCESSOR_MODE accessMode,
                                              MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress,
                                              ULONG bugCheckOnFailure, ULONG priority,
                                              PVOID* mappedAddress);
