// The Windows convention keeps xmm6 to xmm15 for the caller; Linux's lets a callee clobber them.
// A host export (Windows convention) that contains a call of a Linux-convention routine, even on
// a path it never takes, therefore saves and restores all ten registers on every call: some 25
// instructions on calls that otherwise take 10 to 50. The routines the hot exports reach (slow
// paths, refusals, the dispatcher's sleeps and wakes) take the Windows convention as well, so
// that only the paths that really leave for Linux code pay for the registers.
#pragma once

#define HOST_KEEPS_XMM __attribute__((ms_abi))
