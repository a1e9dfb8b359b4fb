// Names of the kernel-streaming and port-class GUIDs for diagnostics, with the GUID's text in
// braces as the fallback.
#pragma once
#include "platform/KernelHeaders.h"

struct GuidNameEntry {
    const GUID* guid; // null in the terminating entry
    PCWSTR name;
};

// Tables end with an entry whose GUID pointer is null.
extern const GuidNameEntry CategoryNames[];
extern const GuidNameEntry FormatTypeNames[];
extern const GuidNameEntry FormatSubtypeNames[];
extern const GuidNameEntry FormatSpecifierNames[];
extern const GuidNameEntry InterfaceNames[];
extern const GuidNameEntry SignalProcessingNames[];
// The six tables in search order, then null.
extern const GuidNameEntry* const DefaultNameTables[];

const ULONG GuidNameCapacity = 50;    // GuidName's buffer
const ULONG GuidNameAllCapacity = 60; // GuidNameAll's buffer

// All return output. capacity is at least 1; the lookups take a non-null GUID.
PWCHAR GuidToText(PWCHAR output, ULONGLONG capacity, const GUID* guid, BOOLEAN upperCase);
PWCHAR CopyName(PWCHAR output, ULONGLONG capacity, PCWSTR name);
PWCHAR GuidNameOrText(PWCHAR output, ULONGLONG capacity, const GUID* guid, PCWSTR name);
PWCHAR LookupGuidName(PWCHAR output, ULONGLONG capacity, const GUID* guid,
                      const GuidNameEntry* table);
PWCHAR LookupGuidNameInTables(PWCHAR output, ULONGLONG capacity, const GUID* guid,
                              const GuidNameEntry* const* tables);
PWCHAR GuidName(PWCHAR output, const GUID* guid, const GuidNameEntry* table);
PWCHAR GuidNameAll(PWCHAR output, const GUID* guid, const GuidNameEntry* const* tables);
