// GUID names: every table row found by its own name, the lookup across tables, the text forms and
// truncation.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AudioHeaders.h"
#include "support/GuidNames.h"
#include "TextTestSupport.h"

using text_test::GuardedBuffer;
using text_test::Text;

namespace {

const GUID UnknownGuid = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x02, 0x03, 0x04, 0xA5, 0xB6, 0xC7, 0xD8}};
const char16_t UnknownText[] = u"{12345678-9abc-def0-0102-0304a5b6c7d8}";

std::u16string Name(const GUID& guid, const GuidNameEntry* table) {
    WCHAR output[GuidNameCapacity];
    return Text(GuidName(output, &guid, table));
}

std::u16string NameAll(const GUID& guid) {
    WCHAR output[GuidNameAllCapacity];
    return Text(GuidNameAll(output, &guid, nullptr));
}

struct Table {
    const char* label;
    const GuidNameEntry* table;
};

// Every row can be found under its own name: this catches a repeated row, a repeated name and
// two symbols that were given the same value.
TEST(GuidNameTables, RowsAreUniqueAndFindThemselves) {
    const Table tables[] = {
        {"CategoryNames", CategoryNames},
        {"FormatTypeNames", FormatTypeNames},
        {"FormatSubtypeNames", FormatSubtypeNames},
        {"FormatSpecifierNames", FormatSpecifierNames},
        {"InterfaceNames", InterfaceNames},
        {"SignalProcessingNames", SignalProcessingNames},
    };
    for (const Table& shape : tables) {
        SCOPED_TRACE(shape.label);
        std::set<std::u16string> names;
        for (const GuidNameEntry* row = shape.table; row->guid != nullptr; ++row) {
            std::u16string name = Text(row->name);
            EXPECT_TRUE(names.insert(name).second) << "repeated name";
            EXPECT_LT(name.size(), GuidNameAllCapacity) << "a name must fit GuidNameAll";
            EXPECT_EQ(Name(*row->guid, shape.table), name);
        }
    }
}

TEST(GuidNames, TextForms) {
    WCHAR output[40];
    EXPECT_EQ(Text(GuidToText(output, 40, &UnknownGuid, FALSE)),
              u"12345678-9abc-def0-0102-0304a5b6c7d8");
    EXPECT_EQ(Text(GuidToText(output, 40, &UnknownGuid, TRUE)),
              u"12345678-9ABC-DEF0-0102-0304A5B6C7D8");
    EXPECT_EQ(Text(GuidToText(output, 40, nullptr, FALSE)), u"GUID_NULL");
    EXPECT_EQ(Text(GuidNameOrText(output, 40, &UnknownGuid, L"given")), u"given");
    EXPECT_EQ(Text(GuidNameOrText(output, 40, &UnknownGuid, nullptr)), UnknownText);
    // Across the default tables: the first that knows a GUID names it, the last is reached.
    EXPECT_EQ(NameAll(GUID{}), u"KSDATAFORMAT_TYPE_WILDCARD");
    EXPECT_EQ(NameAll(AUDIO_SIGNALPROCESSINGMODE_RAW), u"AUDIO_SIGNALPROCESSINGMODE_RAW");
    EXPECT_EQ(NameAll(UnknownGuid), UnknownText);
}

// Every routine stays inside its capacity, cuts its text and still terminates.
TEST(GuidNames, SmallCapacitiesCutTheText) {
    struct CutCase {
        const char* label;
        ULONGLONG capacity;
        PWCHAR (*call)(PWCHAR output, ULONGLONG capacity);
        std::u16string expected;
    };
    const std::vector<CutCase> cases = {
        {"copy into 1", 1, [](PWCHAR o, ULONGLONG c) { return CopyName(o, c, L"abc"); }, u""},
        {"copy into 3", 3, [](PWCHAR o, ULONGLONG c) { return CopyName(o, c, L"abc"); }, u"ab"},
        {"text into 9", 9,
         [](PWCHAR o, ULONGLONG c) { return GuidToText(o, c, &UnknownGuid, FALSE); }, u"12345678"},
        {"braces into 5", 5,
         [](PWCHAR o, ULONGLONG c) { return LookupGuidName(o, c, &UnknownGuid, CategoryNames); },
         u"{123"},
        {"braces into 38 lose the closing brace", 38,
         [](PWCHAR o, ULONGLONG c) { return LookupGuidNameInTables(o, c, &UnknownGuid, nullptr); },
         u"{12345678-9abc-def0-0102-0304a5b6c7d8"},
        {"name into 8", 8,
         [](PWCHAR o, ULONGLONG c) {
             return LookupGuidNameInTables(o, c, &KSCATEGORY_AUDIO, nullptr);
         },
         u"KSCATEG"},
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(c.label);
        GuardedBuffer buffer(c.capacity);
        EXPECT_EQ(c.call(buffer.data(), c.capacity), buffer.data());
        EXPECT_EQ(buffer.Terminated(), c.expected);
        buffer.ExpectGuardIntact();
    }
}

} // namespace
