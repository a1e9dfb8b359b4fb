// What the host counts of the driver's memory copies: every byte the driver image moves with
// the kernel's copy routines (memcpy, memmove), from any thread, since the process started.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host {

std::uint64_t DriverCopiedBytes();

// The C library routines ntoskrnl.exe exports, as a Windows-built image calls them (the Windows
// x64 convention; the C library's own use Linux's). Copies count like the host image's.
__attribute__((ms_abi)) void* ImageMemcpy(void* destination, const void* source, size_t bytes);
__attribute__((ms_abi)) void* ImageMemmove(void* destination, const void* source, size_t bytes);
__attribute__((ms_abi)) void* ImageMemset(void* destination, int value, size_t bytes);
__attribute__((ms_abi)) int ImageMemcmp(const void* first, const void* second, size_t bytes);

} // namespace host
