// Counted UTF-16 strings: initialisation, comparison (ordinal, optionally upper-casing as the
// kernel does for the Latin-1 range) and freeing of strings the system allocated from pool.
#include <ntddk.h>

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // The longest a counted string can describe, leaving room for the terminator.
    constexpr size_t maximum = 0xfffc;
    size_t bytes = 0;
    while (SourceString[bytes / sizeof(WCHAR)] != 0) {
        bytes += sizeof(WCHAR);
    }
    if (bytes > maximum) {
        bytes = maximum;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    if (SourceCharacter >= u'a' && SourceCharacter <= u'z') {
        return static_cast<WCHAR>(SourceCharacter - 0x20);
    }
    // Latin-1 lower-case letters, except the division sign; y-diaeresis upper-cases outside
    // Latin-1.
    if (SourceCharacter >= 0xe0 && SourceCharacter <= 0xfe && SourceCharacter != 0xf7) {
        return static_cast<WCHAR>(SourceCharacter - 0x20);
    }
    if (SourceCharacter == 0xff) {
        return static_cast<WCHAR>(0x178);
    }
    return SourceCharacter;
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
    const size_t length1 = String1->Length / sizeof(WCHAR);
    const size_t length2 = String2->Length / sizeof(WCHAR);
    const size_t common = length1 < length2 ? length1 : length2;
    for (size_t i = 0; i < common; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

extern "C" VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}
