// GUID names: the tables, lookups across tables, the text fallback and truncation.
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

const GUID ZeroGuid = {};
const GUID UnknownGuid = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x02, 0x03, 0x04, 0xA5, 0xB6, 0xC7, 0xD8}};
const char16_t UnknownText[] = u"{12345678-9abc-def0-0102-0304a5b6c7d8}";

std::u16string Name(const GUID& guid, const GuidNameEntry* table) {
    WCHAR output[GuidNameCapacity];
    return Text(GuidName(output, &guid, table));
}

std::u16string NameAll(const GUID& guid, const GuidNameEntry* const* tables = nullptr) {
    WCHAR output[GuidNameAllCapacity];
    return Text(GuidNameAll(output, &guid, tables));
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

TEST(GuidNames, LookupsAcrossTables) {
    struct LookupCase {
        const char* label;
        const GUID* guid;
        std::vector<const GuidNameEntry*> tables; // empty: the default list
        std::u16string expected;
    };
    const std::vector<LookupCase> cases = {
        {"zero GUID: the type table comes first", &ZeroGuid, {}, u"KSDATAFORMAT_TYPE_WILDCARD"},
        {"first table of a custom list wins",
         &ZeroGuid,
         {FormatSpecifierNames, FormatTypeNames},
         u"KSDATAFORMAT_SPECIFIER_WILDCARD"},
        {"later table when earlier ones miss",
         &KSDATAFORMAT_SUBTYPE_PCM,
         {CategoryNames, FormatSubtypeNames},
         u"KSDATAFORMAT_SUBTYPE_PCM"},
        {"last default table",
         &AUDIO_SIGNALPROCESSINGMODE_RAW,
         {},
         u"AUDIO_SIGNALPROCESSINGMODE_RAW"},
        {"unknown GUID in braces", &UnknownGuid, {}, UnknownText},
        {"known GUID outside the list",
         &KSCATEGORY_AUDIO,
         {FormatTypeNames},
         u"{6994ad04-93ef-11d0-a3cc-00a0c9223196}"},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.tables.empty()) {
            EXPECT_EQ(NameAll(*c.guid), c.expected);
        } else {
            std::vector<const GuidNameEntry*> list = c.tables;
            list.push_back(nullptr);
            EXPECT_EQ(NameAll(*c.guid, list.data()), c.expected);
        }
    }
}

TEST(GuidNames, LookupInOneTable) {
    EXPECT_EQ(Name(ZeroGuid, FormatSubtypeNames), u"KSDATAFORMAT_SUBTYPE_WILDCARD");
    EXPECT_EQ(Name(KSDATAFORMAT_SUBTYPE_PCM, FormatTypeNames),
              u"{00000001-0000-0010-8000-00aa00389b71}");
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
