// Looks GUIDs up in the name tables for diagnostics; an unknown GUID is shown as its text in
// braces, so a diagnostic always says which GUID it met.
#include "support/GuidNames.h"
#include "support/StringFormatter.h"

namespace {

const ULONG GuidTextCapacity = 40; // 36 characters and a terminator, with room to spare

bool SameGuid(const GUID* left, const GUID* right) {
    return IsEqualGUID(*left, *right) != 0;
}

PCWSTR FindName(const GUID* guid, const GuidNameEntry* table) {
    if (table == nullptr) {
        return nullptr;
    }
    for (const GuidNameEntry* row = table; row->guid != nullptr; ++row) {
        if (SameGuid(row->guid, guid)) {
            return row->name;
        }
    }
    return nullptr;
}

} // namespace

PWCHAR GuidToText(PWCHAR output, ULONGLONG capacity, const GUID* guid, BOOLEAN upperCase) {
    if (guid == nullptr) {
        return CopyName(output, capacity, L"GUID_NULL");
    }
    PCWSTR format = upperCase ? L"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X"
                              : L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
    WCHAR text[GuidTextCapacity];
    // Every argument travels in a 64-bit slot.
    PrintString(text, GuidTextCapacity, format, ULONGLONG{guid->Data1}, ULONGLONG{guid->Data2},
                ULONGLONG{guid->Data3}, ULONGLONG{guid->Data4[0]}, ULONGLONG{guid->Data4[1]},
                ULONGLONG{guid->Data4[2]}, ULONGLONG{guid->Data4[3]}, ULONGLONG{guid->Data4[4]},
                ULONGLONG{guid->Data4[5]}, ULONGLONG{guid->Data4[6]}, ULONGLONG{guid->Data4[7]});
    return CopyName(output, capacity, text);
}

PWCHAR CopyName(PWCHAR output, ULONGLONG capacity, PCWSTR name) {
    if (capacity == 0) {
        return output;
    }
    ULONGLONG length = 0;
    if (name != nullptr) {
        while (length < capacity - 1 && name[length] != 0) {
            output[length] = name[length];
            ++length;
        }
    }
    output[length] = 0;
    return output;
}

PWCHAR GuidNameOrText(PWCHAR output, ULONGLONG capacity, const GUID* guid, PCWSTR name) {
    if (name != nullptr) {
        return CopyName(output, capacity, name);
    }
    WCHAR text[GuidTextCapacity];
    PrintString(output, capacity, L"{%s}", GuidToText(text, GuidTextCapacity, guid, FALSE));
    return output;
}

PWCHAR LookupGuidName(PWCHAR output, ULONGLONG capacity, const GUID* guid,
                      const GuidNameEntry* table) {
    return GuidNameOrText(output, capacity, guid, FindName(guid, table));
}

PWCHAR LookupGuidNameInTables(PWCHAR output, ULONGLONG capacity, const GUID* guid,
                              const GuidNameEntry* const* tables) {
    PCWSTR name = nullptr;
    for (const GuidNameEntry* const* table = tables != nullptr ? tables : DefaultNameTables;
         *table != nullptr && name == nullptr; ++table) {
        name = FindName(guid, *table);
    }
    return GuidNameOrText(output, capacity, guid, name);
}

PWCHAR GuidName(PWCHAR output, const GUID* guid, const GuidNameEntry* table) {
    return LookupGuidName(output, GuidNameCapacity, guid, table);
}

PWCHAR GuidNameAll(PWCHAR output, const GUID* guid, const GuidNameEntry* const* tables) {
    return LookupGuidNameInTables(output, GuidNameAllCapacity, guid, tables);
}
