// Counted strings: lengths from RtlInitUnicodeString and the ordering RtlCompareUnicodeString
// gives, with and without case.
#include <gtest/gtest.h>

#include <ntddk.h>

namespace {

TEST(RtlUnicodeTest, InitCountsBytesWithoutTheTerminator) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, L"Render");
    EXPECT_EQ(text.Length, 12);
    EXPECT_EQ(text.MaximumLength, 14);
    RtlInitUnicodeString(&text, nullptr);
    EXPECT_EQ(text.MaximumLength, 0);
    EXPECT_EQ(text.Buffer, nullptr);
}

TEST(RtlUnicodeTest, CompareOrdersAsTheKernelDoes) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        BOOLEAN caseInsensitive;
        int sign; // of the result
    } cases[] = {
        {L"\\Render", L"\\render", FALSE, -1},
        {L"\\Render", L"\\render", TRUE, 0},
        {L"\\Render2", L"\\Render", TRUE, 1},
        {L"", L"a", TRUE, -1},
        {L"\u00e9t\u00e9", L"\u00c9T\u00c9", TRUE, 0},
        {L"\u00f7", L"\u00d7", TRUE, 1}, // the division sign has no upper case
        {L"a[", L"A{", TRUE, -1},        // upper-casing does not touch punctuation
    };
    for (const auto& item : cases) {
        UNICODE_STRING a;
        UNICODE_STRING b;
        RtlInitUnicodeString(&a, item.a);
        RtlInitUnicodeString(&b, item.b);
        LONG result = RtlCompareUnicodeString(&a, &b, item.caseInsensitive);
        int sign = result < 0 ? -1 : result > 0 ? 1 : 0;
        EXPECT_EQ(sign, item.sign) << "case " << (&item - cases);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, item.caseInsensitive) != FALSE, item.sign == 0);
    }
    // Counted strings need no terminator: only Length characters take part.
    WCHAR buffer[] = {L'a', L'b', L'c'};
    UNICODE_STRING counted{4, 6, buffer};
    UNICODE_STRING ab;
    RtlInitUnicodeString(&ab, L"ab");
    EXPECT_EQ(RtlCompareUnicodeString(&counted, &ab, FALSE), 0);
}

} // namespace
