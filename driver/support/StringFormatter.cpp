// The bounded wide-character formatter: a conversion is parsed into a plain record, its
// argument converted into a text with sign and base prefix, and the field assembled from those.
#include "support/StringFormatter.h"

namespace {

enum class PadMode { None, Zeros, Spaces };
enum class ArgumentSize { Bits16, Bits32, Bits64 };

// One conversion, as parsed from the text after its "%".
struct Conversion {
    bool leftJustify = false;
    bool showSign = false;
    bool basePrefix = false;
    PadMode pad = PadMode::None;
    bool widthFromArgument = false;
    ULONG width = 0;
    bool precisionFromArgument = false;
    ULONG precision = 0; // 0: none
    ArgumentSize size = ArgumentSize::Bits32;
    WCHAR conversion = 0;
    ULONG length = 0; // format characters taken, the "%" excluded
};

// The converted argument: a wide or narrow text plus what goes before it.
struct Field {
    WCHAR sign = 0;    // 0: none
    PCSTR prefix = ""; // the "#" base prefix
    PCWSTR wideText = nullptr;
    PCSTR narrowText = nullptr;
    ULONGLONG textLength = 0;
    CHAR digits[65] = {};
    WCHAR character = 0;
};

struct Output {
    PWCHAR next;
    ULONGLONG room;
    ULONG written;
};

// A va_list cannot be passed on by reference portably (it is an array on some ABIs), so it
// travels inside a record.
struct Arguments {
    va_list list;
};

ULONGLONG NextSlot(Arguments& arguments) {
    return va_arg(arguments.list, ULONGLONG);
}

bool Put(Output& output, WCHAR character) {
    if (output.room == 0) {
        return false;
    }
    *output.next++ = character;
    --output.room;
    ++output.written;
    return true;
}

bool IsDigit(WCHAR character) {
    return character >= L'0' && character <= L'9';
}

bool IsLetter(WCHAR character) {
    return (character >= L'A' && character <= L'Z') || (character >= L'a' && character <= L'z');
}

bool IsConversion(WCHAR character) {
    if (!IsLetter(character)) {
        return false;
    }
    for (PCWSTR known = L"diuxXobypPcCsSU"; *known != 0; ++known) {
        if (*known == character) {
            return true;
        }
    }
    return false;
}

bool IsSigned(WCHAR conversion) {
    return conversion == L'd' || conversion == L'i';
}

bool IsPointer(WCHAR conversion) {
    return conversion == L'p' || conversion == L'P';
}

bool IsInteger(WCHAR conversion) {
    return IsSigned(conversion) || IsPointer(conversion) || conversion == L'u' ||
           conversion == L'x' || conversion == L'X' || conversion == L'o' || conversion == L'b' ||
           conversion == L'y';
}

// Decimal digits saturate instead of wrapping, so an absurd width stays absurd.
ULONG ParseDecimal(PCWSTR text, ULONG* taken) {
    ULONG value = 0;
    ULONG count = 0;
    while (IsDigit(text[count])) {
        ULONG digit = static_cast<ULONG>(text[count] - L'0');
        value = value > (MAXULONG - digit) / 10 ? MAXULONG : value * 10 + digit;
        ++count;
    }
    *taken = count;
    return value;
}

bool ParseFlags(PCWSTR text, ULONG* at, Conversion* conversion) {
    for (;; ++*at) {
        switch (text[*at]) {
        case L'-':
            conversion->leftJustify = true;
            break;
        case L'+':
            conversion->showSign = true;
            break;
        case L'#':
            conversion->basePrefix = true;
            break;
        case L'0':
            conversion->pad = PadMode::Zeros;
            break;
        case L' ':
            conversion->pad = PadMode::Spaces;
            break;
        default:
            return true;
        }
    }
}

void ParseWidth(PCWSTR text, ULONG* at, Conversion* conversion) {
    if (text[*at] == L'*') {
        conversion->widthFromArgument = true;
        ++*at;
        return;
    }
    ULONG taken = 0;
    conversion->width = ParseDecimal(text + *at, &taken);
    *at += taken;
}

bool ParsePrecision(PCWSTR text, ULONG* at, Conversion* conversion) {
    if (text[*at] != L'.') {
        return true;
    }
    ++*at;
    if (text[*at] == L'*') {
        conversion->precisionFromArgument = true;
        ++*at;
        return true;
    }
    if (!IsDigit(text[*at])) {
        return false;
    }
    ULONG taken = 0;
    conversion->precision = ParseDecimal(text + *at, &taken);
    *at += taken;
    return true;
}

void ParseSize(PCWSTR text, ULONG* at, Conversion* conversion) {
    PCWSTR modifier = text + *at;
    if (modifier[0] == L'h') {
        conversion->size = ArgumentSize::Bits16;
        *at += 1;
    } else if (modifier[0] == L'l' && modifier[1] == L'l') {
        conversion->size = ArgumentSize::Bits64;
        *at += 2;
    } else if (modifier[0] == L'l') {
        *at += 1;
    } else if (modifier[0] == L'z') {
        conversion->size = ArgumentSize::Bits64;
        *at += 1;
    } else if (modifier[0] == L'I' && modifier[1] == L'3' && modifier[2] == L'2') {
        *at += 3;
    } else if (modifier[0] == L'I' && modifier[1] == L'6' && modifier[2] == L'4') {
        conversion->size = ArgumentSize::Bits64;
        *at += 3;
    } else if (modifier[0] == L'I') {
        conversion->size = ArgumentSize::Bits64;
        *at += 1;
    }
}

// text starts after the "%". Consumes no argument: a rejected conversion must leave the
// argument list untouched.
bool ParseConversion(PCWSTR text, Conversion* conversion) {
    ULONG at = 0;
    ParseFlags(text, &at, conversion);
    ParseWidth(text, &at, conversion);
    if (!ParsePrecision(text, &at, conversion)) {
        return false;
    }
    ParseSize(text, &at, conversion);
    if (!IsConversion(text[at])) {
        return false;
    }
    conversion->conversion = text[at];
    conversion->length = at + 1;
    return true;
}

void ResolveStarArguments(Conversion* conversion, Arguments& arguments) {
    if (conversion->widthFromArgument) {
        conversion->width = static_cast<ULONG>(NextSlot(arguments));
    }
    if (conversion->precisionFromArgument) {
        conversion->precision = static_cast<ULONG>(NextSlot(arguments));
    }
    // A signed pointer is shown as width - 1 digits after its sign.
    if (IsPointer(conversion->conversion) && conversion->showSign && conversion->width >= 2 &&
        conversion->precision == 0) {
        conversion->precision = conversion->width - 1;
        if (conversion->pad == PadMode::None) {
            conversion->pad = PadMode::Zeros;
        }
    }
}

ULONG BaseOf(WCHAR conversion) {
    switch (conversion) {
    case L'o':
        return 8;
    case L'b':
    case L'y':
        return 2;
    case L'x':
    case L'X':
    case L'p':
    case L'P':
        return 16;
    default:
        return 10;
    }
}

PCSTR PrefixOf(WCHAR conversion) {
    switch (conversion) {
    case L'o':
        return "0";
    case L'b':
        return "0b";
    case L'y':
        return "0y";
    case L'x':
    case L'X':
    case L'p':
    case L'P':
        return "0x";
    default:
        return "0n";
    }
}

ULONGLONG NarrowLength(PCSTR text, ULONGLONG limit) {
    ULONGLONG length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    return length;
}

ULONGLONG WideLength(PCWSTR text, ULONGLONG limit) {
    ULONGLONG length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    return length;
}

void ConvertInteger(const Conversion& conversion, ULONGLONG slot, Field* field) {
    bool negative = false;
    ULONG base = BaseOf(conversion.conversion);
    if (IsPointer(conversion.conversion) || conversion.size == ArgumentSize::Bits64) {
        ULONGLONG value = slot;
        if (IsSigned(conversion.conversion) && static_cast<LONGLONG>(value) < 0) {
            negative = true;
            value = 0 - value;
        }
        UnsignedToDigits(value, field->digits, base);
    } else {
        ULONG value = conversion.size == ArgumentSize::Bits16
                          ? static_cast<ULONG>(static_cast<LONG>(static_cast<SHORT>(slot)))
                          : static_cast<ULONG>(slot);
        if (IsSigned(conversion.conversion) && static_cast<LONG>(value) < 0) {
            negative = true;
            value = 0 - value;
        }
        UnsignedToDigits(value, field->digits, base);
    }
    if (conversion.conversion == L'X' || conversion.conversion == L'P') {
        for (PCHAR digit = field->digits; *digit != 0; ++digit) {
            if (*digit >= 'a' && *digit <= 'f') {
                *digit = static_cast<CHAR>(*digit - 'a' + 'A');
            }
        }
    }
    ULONGLONG length = NarrowLength(field->digits, sizeof(field->digits));
    // Too many digits for the precision: keep the least significant ones.
    ULONGLONG skipped = conversion.precision != 0 && length > conversion.precision
                            ? length - conversion.precision
                            : 0;
    field->narrowText = field->digits + skipped;
    field->textLength = length - skipped;
    if (negative) {
        field->sign = L'-';
    }
    if (conversion.basePrefix) {
        field->prefix = PrefixOf(conversion.conversion);
    }
}

void UseNarrow(Field* field, PCSTR text, ULONGLONG limit) {
    field->narrowText = text;
    field->textLength = NarrowLength(text, limit);
}

void UseWide(Field* field, PCWSTR text, ULONGLONG limit) {
    field->wideText = text;
    field->textLength = WideLength(text, limit);
}

// Strings are measured only up to the precision, so a bounded string needs no terminator.
void ConvertText(const Conversion& conversion, ULONGLONG slot, Field* field) {
    ULONGLONG limit = conversion.precision != 0 ? conversion.precision : MAXULONGLONG;
    switch (conversion.conversion) {
    case L'c':
        field->character = static_cast<WCHAR>(slot);
        UseWide(field, &field->character, 1);
        field->textLength = 1;
        break;
    case L'C':
        field->character = static_cast<WCHAR>(static_cast<UCHAR>(slot));
        UseWide(field, &field->character, 1);
        field->textLength = 1;
        break;
    case L's':
        if (slot == 0) {
            UseNarrow(field, "(null)", limit);
        } else {
            UseWide(field, reinterpret_cast<PCWSTR>(slot), limit);
        }
        break;
    case L'S':
        if (slot == 0) {
            UseNarrow(field, "(null)", limit);
        } else {
            UseNarrow(field, reinterpret_cast<PCSTR>(slot), limit);
        }
        break;
    default: { // 'U'
        auto string = reinterpret_cast<PCUNICODE_STRING>(slot);
        if (string == nullptr) {
            UseNarrow(field, "(null)", limit);
        } else if (string->Buffer == nullptr) {
            UseNarrow(field, "(*null)", limit);
        } else {
            ULONGLONG characters = string->Length / sizeof(WCHAR);
            field->wideText = string->Buffer;
            field->textLength = characters < limit ? characters : limit;
        }
        break;
    }
    }
}

bool PutPrefix(Output& output, const Field& field) {
    if (field.sign != 0 && !Put(output, field.sign)) {
        return false;
    }
    for (PCSTR character = field.prefix; *character != 0; ++character) {
        if (!Put(output, static_cast<WCHAR>(static_cast<UCHAR>(*character)))) {
            return false;
        }
    }
    return true;
}

bool PutRepeated(Output& output, WCHAR character, ULONGLONG count) {
    for (ULONGLONG index = 0; index < count; ++index) {
        if (!Put(output, character)) {
            return false;
        }
    }
    return true;
}

bool PutText(Output& output, const Field& field) {
    for (ULONGLONG index = 0; index < field.textLength; ++index) {
        WCHAR character = field.wideText != nullptr
                              ? field.wideText[index]
                              : static_cast<WCHAR>(static_cast<UCHAR>(field.narrowText[index]));
        if (!Put(output, character)) {
            return false;
        }
    }
    return true;
}

void PutField(Output& output, const Conversion& conversion, const Field& field) {
    if (field.textLength == 0) {
        return;
    }
    ULONGLONG prefixLength = (field.sign != 0 ? 1 : 0) + NarrowLength(field.prefix, 2);
    ULONGLONG fieldLength = prefixLength + field.textLength;
    ULONGLONG padding = conversion.width > fieldLength ? conversion.width - fieldLength : 0;
    bool prefixFirst = conversion.pad != PadMode::None;
    WCHAR padCharacter = conversion.pad == PadMode::Zeros ? L'0' : L' ';

    if (prefixFirst && !PutPrefix(output, field)) {
        return;
    }
    if (!conversion.leftJustify && !PutRepeated(output, padCharacter, padding)) {
        return;
    }
    if (!prefixFirst && !PutPrefix(output, field)) {
        return;
    }
    if (!PutText(output, field)) {
        return;
    }
    if (conversion.leftJustify) {
        PutRepeated(output, L' ', padding);
    }
}

void PutConversion(Output& output, Conversion conversion, Arguments& arguments) {
    ResolveStarArguments(&conversion, arguments);
    ULONGLONG slot = NextSlot(arguments);
    Field field;
    if (IsInteger(conversion.conversion)) {
        ConvertInteger(conversion, slot, &field);
    } else {
        ConvertText(conversion, slot, &field);
    }
    if (conversion.showSign && field.sign == 0) {
        field.sign = L'+';
    }
    PutField(output, conversion, field);
}

template <typename Unsigned>
PCHAR DigitsOf(Unsigned value, PCHAR output, ULONG base) {
    ULONG count = 0;
    if (base >= 2 && base <= 16) {
        do {
            output[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
    }
    output[count] = 0;
    for (ULONG low = 0, high = count; low + 1 < high; ++low, --high) {
        CHAR swap = output[low];
        output[low] = output[high - 1];
        output[high - 1] = swap;
    }
    return output;
}

} // namespace

PCHAR UnsignedToDigits(ULONG value, PCHAR output, ULONG base) {
    return DigitsOf(value, output, base);
}

PCHAR UnsignedToDigits(ULONGLONG value, PCHAR output, ULONG base) {
    return DigitsOf(value, output, base);
}

ULONG FormatString(PWCHAR output, ULONGLONG capacity, PCWSTR format, va_list arguments) {
    if (capacity == 0) {
        return 0;
    }
    // The count is 32-bit, so no more than MAXULONG characters are ever written.
    Output out = {output, capacity - 1 < MAXULONG ? capacity - 1 : MAXULONG, 0};
    Arguments args;
    va_copy(args.list, arguments);

    PCWSTR at = format;
    while (out.room != 0 && *at != 0) {
        if (at[0] == L'%' && at[1] == L'%') {
            Put(out, L'%');
            at += 2;
            continue;
        }
        if (at[0] == L'%' && at[1] == L'n') {
            auto target = reinterpret_cast<PULONG>(NextSlot(args));
            // Nothing to store through a null target; skipping it beats a bug check.
            if (target != nullptr) {
                *target = out.written;
            }
            at += 2;
            continue;
        }
        if (at[0] == L'%' && at[1] != 0) {
            Conversion conversion;
            if (ParseConversion(at + 1, &conversion)) {
                PutConversion(out, conversion, args);
                at += 1 + conversion.length;
                continue;
            }
        }
        Put(out, *at);
        ++at;
    }
    va_end(args.list);
    *out.next = 0;
    return out.written;
}

ULONG PrintString(PWCHAR output, ULONGLONG capacity, PCWSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    ULONG written = FormatString(output, capacity, format, arguments);
    va_end(arguments);
    return written;
}
