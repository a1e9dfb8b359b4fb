// Start-up and termination of the support library: the kernel's version, the exit list and the
// image's own static-constructor table (the driver links no C++ runtime that would run them).
#include "Startup.h"
#include "Memory.h"

namespace {

bool initialised = false;
ULONG osVersion = 0;

typedef VOID (*StaticConstructor)();

// Bounded by null markers so the walk needs no count; the driver's constructors, if it ever had
// any, would go between them. Constant, so it lives in read-only data.
const StaticConstructor StaticConstructorTable[] = {
    nullptr, // start marker
    nullptr, // end marker
};
const StaticConstructor* const StaticConstructorsStart = &StaticConstructorTable[0];
const StaticConstructor* const StaticConstructorsEnd =
    &StaticConstructorTable[sizeof(StaticConstructorTable) / sizeof(StaticConstructorTable[0]) - 1];

} // namespace

List* ExitList = nullptr;

const WCHAR VersionBanner[] =
    L"Conduit kernel support library 0.1.0 (x64). Copyright the Conduit developers.";

BOOLEAN LibraryStartup() {
    if (initialised) {
        return TRUE;
    }
    // The size field names the extended structure, so the kernel may fill all of it: the
    // structure handed over must be that large.
    RTL_OSVERSIONINFOEXW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    // A failed call leaves the structure zeroed, which reads as version 0 and is refused below.
    (VOID) RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&version));
    osVersion = ((version.dwMajorVersion & 0xFF) << 8) | (version.dwMinorVersion & 0xFF);
    if (osVersion < 0x0501) {
        return FALSE;
    }

    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    (VOID) KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart == 0) {
        return FALSE;
    }

    List* list = static_cast<List*>(AllocateMemory(sizeof(List)));
    if (list == nullptr) {
        return FALSE;
    }
    ListInit(list);
    ExitList = list;
    initialised = true;
    return TRUE;
}

ULONG GetOsVersion() {
    return osVersion;
}

VOID RunStaticConstructors() {
    if (!initialised) {
        return;
    }
    for (const StaticConstructor* entry = StaticConstructorsStart + 1;
         entry < StaticConstructorsEnd; entry++) {
        if (*entry != nullptr) {
            (*entry)();
        }
    }
}

BOOLEAN RegisterExitCallback(ExitCallback callback) {
    if (ExitList == nullptr) {
        return FALSE;
    }
    ExitEntry* entry = new ExitEntry();
    if (entry == nullptr) {
        return FALSE;
    }
    entry->callback = callback;
    ListAppend(ExitList, ListNodeInit(&entry->node));
    return TRUE;
}

VOID LibraryShutdown() {
    if (ExitList == nullptr) {
        return;
    }
    for (ListNode* node = ListRemoveFirst(ExitList); node != nullptr;
         node = ListRemoveFirst(ExitList)) {
        ExitEntry* entry = reinterpret_cast<ExitEntry*>(node);
        entry->callback();
        delete entry;
    }
    FreeMemory(ExitList);
    ExitList = nullptr;
}
