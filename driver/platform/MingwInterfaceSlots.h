// mingw-w64 only: the vtable slot of every interface method the driver implements or calls, as
// this toolchain lays it out, next to the slot portcls.sys uses. Plain C types, so a user-mode
// test program can read the table without the kernel headers.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct MingwInterfaceSlot {
    const char* method;
    unsigned expected;
    unsigned actual;
};

// Fills the table on first use and returns its row count; *rows points at it.
unsigned MingwInterfaceSlots(const struct MingwInterfaceSlot** rows);

#ifdef __cplusplus
}
#endif
