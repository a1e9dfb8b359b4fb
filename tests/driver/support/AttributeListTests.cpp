// The attribute-list check: each refusal with its status and message, the mode handed back,
// and lists whose fields point outside them.
#include <gtest/gtest.h>

#include "FormatTestSupport.h"
#include "support/AttributeList.h"

using namespace formats_test;

namespace {

using Bytes = std::vector<unsigned char>;

const GUID Raw = AUDIO_SIGNALPROCESSINGMODE_RAW;
const GUID Default = AUDIO_SIGNALPROCESSINGMODE_DEFAULT;
const size_t Exact = ~size_t{0}; // available: the list as built
const size_t Unknown = 0;

struct ListCase {
    const char* name;
    Bytes list;
    size_t available;
    NTSTATUS status;
    const char* message;
    GUID mode; // with modeOut given, after success
};

std::ostream& operator<<(std::ostream& out, const ListCase& c) {
    return out << c.name;
}

class ValidateAttributeListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ValidateAttributeListTest, RefusesOrAcceptsWithItsMessage) {
    const ListCase& c = GetParam();
    const size_t bytes =
        c.available == Exact || c.available == Unknown ? c.list.size() : c.available;
    const ExactBlock list(c.list, bytes);
    const ULONGLONG available = c.available == Unknown ? 0 : bytes;
    MessageBuffer message;
    GUID mode = {};
    EXPECT_EQ(ValidateAttributeList(list.data(), available, &mode, message.get()), c.status);
    EXPECT_EQ(message.text(), c.message);
    if (c.status == STATUS_SUCCESS) {
        EXPECT_TRUE(SameGuid(mode, c.mode));
    }
}

Attribute Other(ULONG size, ULONG flags = 0) {
    return Attribute{size, KSDATAFORMAT_TYPE_AUDIO, {}, flags};
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ValidateAttributeListTest,
    ::testing::Values(
        ListCase{"OneModeAttribute", AttributeList(48, 1, {ModeAttribute(Raw)}), Exact,
                 STATUS_SUCCESS, "", Raw},
        ListCase{"SizeAboveItsAttributes", AttributeList(56, 1, {ModeAttribute(Raw)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "Size of attributes (0x28) is different from specified in the header (0x38)"},
        ListCase{"LaterModeReplacesEarlier",
                 AttributeList(88, 2, {ModeAttribute(Default), ModeAttribute(Raw)}), Exact,
                 STATUS_SUCCESS, "", Raw},
        ListCase{"AvailableBelowHeader", AttributeList(48, 1, {ModeAttribute(Raw)}), 7,
                 STATUS_INVALID_PARAMETER, "Attribute block size (0x7) < KSMULTIPLE_ITEM (0x8)"},
        ListCase{"SizeBelowHeader", Bytes{7, 0, 0, 0, 0, 0, 0, 0}, Exact, STATUS_INVALID_PARAMETER,
                 "Invalid attribute list header: Size=0x7, Count=0"},
        ListCase{"HeaderOnlyWithCount", AttributeList(8, 1, {}), Exact, STATUS_INVALID_PARAMETER,
                 "Invalid attribute list header: Size=0x8, Count=1"},
        ListCase{"AvailableBelowSize", AttributeList(48, 1, {ModeAttribute(Raw)}), 40,
                 STATUS_INVALID_PARAMETER,
                 "Attribute block size (0x28) < KSMULTIPLE_ITEM.Size (0x30)"},
        ListCase{"EmptyList", AttributeList(8, 0, {}), Exact, STATUS_INVALID_PARAMETER,
                 "KSMULTIPLE_ITEM.Size (0x8) < KSMULTIPLE_ITEM size (0x8) + KSATTRIBUTE size "
                 "(0x18)"},
        ListCase{"AttributeBelowHeaderSize", AttributeList(32, 1, {ModeAttribute(Raw, 20)}), Exact,
                 STATUS_INVALID_PARAMETER, "Attribute 1 size (0x14) < KSATTRIBUTE size (0x18)"},
        ListCase{"AttributeBeyondList", AttributeList(40, 1, {ModeAttribute(Raw)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "KSATTRIBUTE 1 with size 0x28 is beyond attribute list size (0x28)"},
        // 8 + 0xFFFFFFF8 is 0 in 32 bits.
        ListCase{"AttributeSizeThatWouldWrap",
                 AttributeList(48, 1, {ModeAttribute(Raw, 0xFFFFFFF8)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "KSATTRIBUTE 1 with size 0xfffffff8 is beyond attribute list size (0x30)"},
        ListCase{"UnknownAttribute", AttributeList(48, 1, {Other(40, 5)}), Exact, STATUS_NO_MATCH,
                 "Unknown KSATTRIBUTE 1: Size=0x28, Flags=0x5, Id=KSDATAFORMAT_TYPE_AUDIO"},
        ListCase{"ModeAttributeWithoutMode", AttributeList(32, 1, {ModeAttribute(Raw, 24)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "Signal processing mode attribute 1 size (0x18) is less than 0x28"},
        ListCase{
            "LargeAttributeWarnsOnly", AttributeList(272, 1, {ModeAttribute(Raw, 264)}), Exact,
            STATUS_SUCCESS,
            "KSATTRIBUTE 1 (Size=0x108, Flags=0x0, Id=KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE) "
            "is suspicious",
            Raw},
        // 41 bytes fit a list of 49; a second attribute would start at 56, so a list holding
        // it either ends before it or is larger than the unrounded sizes add up to.
        ListCase{"OddSizedAttribute", AttributeList(49, 1, {ModeAttribute(Raw, 41)}), Exact,
                 STATUS_SUCCESS, "", Raw},
        ListCase{"OddSizedThenAnotherSummedUnrounded",
                 AttributeList(89, 2, {ModeAttribute(Raw, 41), ModeAttribute(Raw)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "KSATTRIBUTE 2 with size 0x28 is beyond attribute list size (0x59)"},
        ListCase{"OddSizedThenAnotherSummedRounded",
                 AttributeList(96, 2, {ModeAttribute(Raw, 41), ModeAttribute(Raw)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "Size of attributes (0x51) is different from specified in the header (0x60)"},
        // Counts that promise more attributes than the list holds.
        ListCase{"CountBeyondList", AttributeList(48, 2, {ModeAttribute(Raw)}), Exact,
                 STATUS_INVALID_PARAMETER,
                 "KSATTRIBUTE 2 at offset 0x30 is beyond attribute list size (0x30)"},
        ListCase{"HugeCount", AttributeList(48, 0xFFFFFFFF, {ModeAttribute(Raw)}), Unknown,
                 STATUS_INVALID_PARAMETER,
                 "KSATTRIBUTE 2 at offset 0x30 is beyond attribute list size (0x30)"}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return info.param.name; });

TEST(ValidateAttributeListModeTest, WithoutModeOutOnlyDefaultIsPlainSuccess) {
    const ExactBlock defaultList(AttributeList(48, 1, {ModeAttribute(Default)}));
    EXPECT_EQ(ValidateAttributeList(defaultList.data(), defaultList.size(), nullptr, nullptr),
              STATUS_SUCCESS);

    const ExactBlock rawList(AttributeList(48, 1, {ModeAttribute(Raw)}));
    MessageBuffer message;
    const NTSTATUS status =
        ValidateAttributeList(rawList.data(), rawList.size(), nullptr, message.get());
    EXPECT_EQ(status, STATUS_MORE_ENTRIES);
    EXPECT_TRUE(NT_SUCCESS(status));
    EXPECT_EQ(message.text(), "Signal processing mode (AUDIO_SIGNALPROCESSINGMODE_RAW) is not "
                              "DEFAULT but no variable to return it");
}

} // namespace
