// The bounded formatter: conversions, field assembly and argument consumption. (Truncation at every
// capacity is the format-string fuzz target's work: nothing past the capacity, the start of the
// full output, counted the same way.)
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/StringFormatter.h"
#include "TextTestSupport.h"

using text_test::GuardedBuffer;
using text_test::Slot;

namespace {

constexpr size_t MaxSlots = 6;

struct Formatted {
    std::u16string text;
    ULONG result;
};

// Formats with every argument in its own 64-bit slot, as the driver's callers pass them, and
// checks the buffer contract on the way.
Formatted Format(ULONGLONG capacity, PCWSTR format, std::vector<ULONGLONG> slots = {}) {
    slots.resize(MaxSlots, 0);
    GuardedBuffer buffer(capacity);
    ULONG result = PrintString(buffer.data(), capacity, format, slots[0], slots[1], slots[2],
                               slots[3], slots[4], slots[5]);
    buffer.ExpectGuardIntact();
    if (capacity == 0) {
        return {u"", result};
    }
    std::u16string text = buffer.Terminated();
    EXPECT_EQ(result, text.size()) << "the result must count what was written";
    return {text, result};
}

ULONGLONG Signed(LONGLONG value) {
    return static_cast<ULONGLONG>(value);
}

struct FormatCase {
    const char* label;
    PCWSTR format;
    std::vector<ULONGLONG> slots;
    std::u16string expected;
};

void ExpectCases(const std::vector<FormatCase>& cases) {
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Format(256, c.format, c.slots).text, c.expected);
    }
}

TEST(StringFormatter, IntegerConversionsAndSizes) {
    ExpectCases({
        {"decimal", L"%d", {42}, u"42"},
        {"most negative 32-bit", L"%d", {0x80000000}, u"-2147483648"},
        {"most negative 64-bit", L"%lld", {0x8000000000000000}, u"-9223372036854775808"},
        {"ll is 64-bit", L"%llu", {~0ULL}, u"18446744073709551615"},
        {"bare I is 64-bit", L"%Ix", {0x100000000}, u"100000000"},
        {"l is 32-bit", L"%lx", {Signed(-1)}, u"ffffffff"},
        {"h is signed 16-bit", L"%hd", {0x18000}, u"-32768"},
        {"pointer is always 64-bit", L"%hp", {0xABC00000000}, u"abc00000000"},
        {"wide character", L"%c", {0x263A}, u"\u263A"},
        {"narrow character takes the low byte", L"%C", {0x1C1}, u"\u00C1"},
    });
}

TEST(StringFormatter, BasePrefixes) {
    ExpectCases({
        {"hexadecimal", L"%#x", {255}, u"0xff"},
        {"upper case keeps a lower-case x", L"%#X", {255}, u"0xFF"},
        {"signed decimal after the sign", L"%#d", {Signed(-7)}, u"-0n7"},
        {"binary y", L"%#y", {5}, u"0y101"},
        {"none for strings", L"%#s", {Slot(L"ab")}, u"ab"},
    });
}

TEST(StringFormatter, FlagsAndWidth) {
    ExpectCases({
        {"left justified", L"%-6d|", {42}, u"42    |"},
        {"sign after space padding", L"%+5d", {42}, u"  +42"},
        {"space flag puts the sign first", L"% 5d", {Signed(-42)}, u"-  42"},
        {"last pad flag wins: space", L"%0 5d", {Signed(-42)}, u"-  42"},
        {"left justification pads with spaces", L"%-05d|", {42}, u"42   |"},
        {"prefix before zero padding", L"%#010x", {255}, u"0x000000ff"},
        {"width from an argument", L"%*d|", {5, 42}, u"   42|"},
        {"width argument read as unsigned 32-bit", L"%*d|", {0x100000003, 42}, u" 42|"},
    });
}

TEST(StringFormatter, PrecisionCutsFromTheLeftOfDigits) {
    ExpectCases({
        {"last two hexadecimal digits", L"%.2x", {4660}, u"34"},
        {"sign stays", L"%.3d", {Signed(-12345)}, u"-345"},
        {"prefix stays", L"%#.1x", {0xAB}, u"0xb"},
        {"width and precision from arguments", L"%*.*x|", {6, 2, 4660}, u"    34|"},
        {"first letters of a string", L"%.3s", {Slot(L"abcdef")}, u"abc"},
        {"precision cuts the null text too", L"%.3s", {0}, u"(nu"},
    });
}

TEST(StringFormatter, SignedPointerShowsWidthMinusOneDigits) {
    ExpectCases({
        {"zero padded to width", L"%+17p", {0x1234}, u"+0000000000001234"},
        {"digits cut to width - 1", L"%+4p", {0x123456}, u"+456"},
        {"base prefix before the zeros", L"%+#10p", {0x1234}, u"+0x0001234"},
        {"explicit precision wins", L"%+8.2p", {0x1234}, u"     +34"},
    });
}

TEST(StringFormatter, Strings) {
    const std::array<WCHAR, 5> unterminated = {L'h', L'e', L'l', L'l', L'o'};
    std::array<WCHAR, 8> followed = {L'a', L'b', L'c', L'X', L'Y', L'Z', L'!', 0};
    UNICODE_STRING counted = {10, 10, const_cast<PWCHAR>(unterminated.data())};
    UNICODE_STRING oddLength = {7, 16, followed.data()};
    UNICODE_STRING noBuffer = {4, 4, nullptr};
    ExpectCases({
        {"wide", L"[%s]", {Slot(L"wide")}, u"[wide]"},
        {"narrow bytes widen unsigned", L"[%S]", {Slot("caf\xE9")}, u"[caf\u00E9]"},
        {"right aligned", L"[%6s]", {Slot(L"ab")}, u"[    ab]"},
        {"null wide", L"%s", {0}, u"(null)"},
        {"counted without buffer", L"%U", {Slot(&noBuffer)}, u"(*null)"},
        {"counted needs no terminator", L"[%U]", {Slot(&counted)}, u"[hello]"},
        {"odd byte length rounds down", L"[%U]", {Slot(&oddLength)}, u"[abc]"},
        {"precision on counted", L"[%.2U]", {Slot(&counted)}, u"[he]"},
        {"empty string writes no padding", L"[%5s]", {Slot(L"")}, u"[]"},
    });
}

TEST(StringFormatter, PercentAndCountConversions) {
    ULONG counted = 0xDEAD;
    EXPECT_EQ(Format(64, L"ab%ncd", {Slot(&counted)}).text, u"abcd");
    EXPECT_EQ(counted, 2u);

    ULONG first = 0, second = 0;
    EXPECT_EQ(Format(64, L"%n%d%n", {Slot(&first), 123, Slot(&second)}).text, u"123");
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 3u);

    // A null target stores nothing but still takes its argument.
    EXPECT_EQ(Format(64, L"a%nb%d", {0, 7}).text, u"ab7");

    // Once the buffer is full the walk ends, so a later count is not stored.
    ULONG late = 0xDEAD;
    EXPECT_EQ(Format(3, L"abc%n", {Slot(&late)}).text, u"ab");
    EXPECT_EQ(late, 0xDEADu);

    ExpectCases({
        {"percent", L"100%%", {}, u"100%"},
        {"percent before a letter", L"%%d", {5}, u"%d"},
        {"trailing percent", L"50%", {}, u"50%"},
    });
}

// A rejected conversion is text and leaves the argument for the next conversion.
TEST(StringFormatter, RejectedConversionsAreCopiedAndConsumeNothing) {
    ExpectCases({
        {"f is no conversion", L"%f|%d", {7}, u"%f|7"},
        {"unknown letter", L"%w%d", {7}, u"%w7"},
        {"dot without digits", L"%.x%d", {7}, u"%.x7"},
        {"star width of a rejected conversion", L"%*f%d", {5, 7}, u"%*f5"},
        {"star precision of a rejected conversion", L"%.*q%d", {5, 7}, u"%.*q5"},
        {"double h", L"%hhd%d", {7}, u"%hhd7"},
        {"triple l", L"%llld%d", {7}, u"%llld7"},
        {"I followed by a digit", L"%I3d%d", {7}, u"%I3d7"},
        {"count with a width", L"%5n%d", {7}, u"%5n7"},
        {"flags at the end", L"%-", {}, u"%-"},
        {"width at the end", L"%12", {}, u"%12"},
        {"letter beyond ASCII", L"%\u0164%d", {7}, u"%\u01647"},
        {"letter in a wide character's low byte", L"%\u0178%d", {7}, u"%\u01787"},
    });
}

} // namespace
