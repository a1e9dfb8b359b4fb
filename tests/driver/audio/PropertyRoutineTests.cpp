// The shared property routines at every value size a port can pass, with guard bytes behind
// each buffer: size negotiation, basic-support replies and the CPU-resources property.
#include "AudioTestSupport.h"
#include "audio/PropertyRoutines.h"

namespace {

using audio_test::PropertyProbe;

const PCPROPERTY_ITEM CpuItem = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, 0x201,
                                 CpuResourcesHandler};

// CheckPropertySizes has no handler signature of its own; run it through one.
ULONG minimumInstanceForTest;
ULONG minimumValueForTest;
NTSTATUS NTAPI CheckSizesHandler(PPCPROPERTY_REQUEST request) {
    return CheckPropertySizes(request, minimumInstanceForTest, minimumValueForTest);
}

TEST(CheckPropertySizes, NegotiatesValueThenInstance) {
    struct Case {
        ULONG valueSize, instanceSize, minimumInstance, minimumValue;
        NTSTATUS status;
        ULONG valueSizeOut;
    };
    const Case cases[] = {
        {0, 0, 4, 36, STATUS_BUFFER_OVERFLOW, 36}, // learns the size before the instance counts
        {35, 4, 4, 36, STATUS_BUFFER_TOO_SMALL, 35},
        {36, 4, 4, 36, STATUS_SUCCESS, 36},
        {100, 4, 4, 36, STATUS_SUCCESS, 100},
        {36, 3, 4, 36, STATUS_BUFFER_TOO_SMALL, 36},
        {36, 0, 4, 36, STATUS_BUFFER_TOO_SMALL, 36},
        {4, 0, 0, 4, STATUS_SUCCESS, 4}, // no instance minimum
        {1, 0, 0, 4, STATUS_BUFFER_TOO_SMALL, 1},
    };
    for (const Case& c : cases) {
        PropertyProbe probe;
        probe.item = &CpuItem;
        probe.SetValueSize(c.valueSize);
        probe.instance.assign(c.instanceSize, 0);
        minimumInstanceForTest = c.minimumInstance;
        minimumValueForTest = c.minimumValue;
        EXPECT_EQ(probe.Run(CheckSizesHandler), c.status) << c.valueSize << "/" << c.instanceSize;
        EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut);
        EXPECT_TRUE(probe.ValueUntouched());
        EXPECT_TRUE(probe.guardsIntact);
    }
}

// FillBasicSupport through handlers that give it a type and no type.
NTSTATUS NTAPI TypedBasicSupport(PPCPROPERTY_REQUEST request) {
    return FillBasicSupport(request, KSPROPTYPESETID_General, PropertyTypeUnsigned32);
}
NTSTATUS NTAPI UntypedBasicSupport(PPCPROPERTY_REQUEST request) {
    return FillBasicSupport(request, KSPROPTYPESETID_General, NoPropertyType);
}

TEST(FillBasicSupport, WritesNoMoreThanTheValueHolds) {
    struct Case {
        ULONG valueSize;
        NTSTATUS status;
        ULONG valueSizeOut;
        ULONG bytesWritten;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_OVERFLOW, 40, 0}, {1, STATUS_BUFFER_TOO_SMALL, 0, 0},
        {3, STATUS_BUFFER_TOO_SMALL, 0, 0}, {4, STATUS_SUCCESS, 4, 4},
        {39, STATUS_SUCCESS, 4, 4},         {40, STATUS_SUCCESS, 40, 40},
        {64, STATUS_SUCCESS, 40, 40},
    };
    const PCPROPERTY_ITEM item = {&KSPROPSETID_Audio, 77, 0x203, TypedBasicSupport};
    for (const Case& c : cases) {
        PropertyProbe probe;
        probe.item = &item;
        probe.verb = KSPROPERTY_TYPE_BASICSUPPORT;
        probe.SetValueSize(c.valueSize);
        EXPECT_EQ(probe.Run(TypedBasicSupport), c.status) << c.valueSize;
        EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut) << c.valueSize;
        EXPECT_TRUE(probe.guardsIntact) << c.valueSize;
        for (ULONG i = c.bytesWritten; i < c.valueSize; ++i) {
            EXPECT_EQ(probe.valueOut[i], PropertyProbe::Pattern) << c.valueSize << " at " << i;
        }
        if (c.bytesWritten >= 4) {
            EXPECT_EQ(probe.ValueAt<ULONG>(0), 0x203u) << "the item's access flags";
        }
        if (c.bytesWritten == 40) {
            KSPROPERTY_DESCRIPTION description = probe.ValueAt<KSPROPERTY_DESCRIPTION>(0);
            EXPECT_EQ(description.DescriptionSize, 40u);
            EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, KSPROPTYPESETID_General));
            EXPECT_EQ(description.PropTypeSet.Id, PropertyTypeUnsigned32);
            EXPECT_EQ(description.PropTypeSet.Flags, 0u);
            EXPECT_EQ(description.MembersListCount, 0u);
            EXPECT_EQ(description.Reserved, 0u);
        }
    }
}

TEST(FillBasicSupport, WithoutATypeLeavesTheCallersTypeFields) {
    const PCPROPERTY_ITEM item = {&KSPROPSETID_Jack, 1, 0x201, UntypedBasicSupport};
    PropertyProbe probe;
    probe.item = &item;
    probe.verb = KSPROPERTY_TYPE_BASICSUPPORT;
    probe.SetValueSize(40);
    ASSERT_EQ(probe.Run(UntypedBasicSupport), STATUS_SUCCESS);
    EXPECT_EQ(probe.ValueAt<ULONG>(0), 0x201u);
    EXPECT_EQ(probe.ValueAt<ULONG>(4), 40u);
    for (size_t i = 8; i < 28; ++i) { // PropTypeSet.Set and .Id
        EXPECT_EQ(probe.valueOut[i], PropertyProbe::Pattern) << i;
    }
    EXPECT_EQ(probe.ValueAt<ULONG>(28), 0u); // PropTypeSet.Flags
    EXPECT_EQ(probe.ValueAt<ULONG>(32), 0u);
    EXPECT_EQ(probe.ValueAt<ULONG>(36), 0u);
}

TEST(CpuResourcesHandler, AnswersNotHostCpuAtEverySize) {
    struct Case {
        ULONG verb;
        ULONG valueSize;
        NTSTATUS status;
        ULONG valueSizeOut;
        bool writesZero;
    };
    const Case cases[] = {
        {KSPROPERTY_TYPE_GET, 0, STATUS_BUFFER_OVERFLOW, 4, false},
        {KSPROPERTY_TYPE_GET, 3, STATUS_BUFFER_TOO_SMALL, 3, false},
        {KSPROPERTY_TYPE_GET, 4, STATUS_SUCCESS, 4, true},
        {KSPROPERTY_TYPE_GET, 16, STATUS_SUCCESS, 4, true},
        // The property is read-only: a set's value is not written over.
        {KSPROPERTY_TYPE_SET, 4, STATUS_INVALID_DEVICE_REQUEST, 4, false},
        {0, 4, STATUS_INVALID_DEVICE_REQUEST, 4, false},
    };
    for (const Case& c : cases) {
        PropertyProbe probe;
        probe.item = &CpuItem;
        probe.verb = c.verb;
        probe.SetValueSize(c.valueSize);
        EXPECT_EQ(probe.Run(CpuResourcesHandler), c.status) << c.verb << "/" << c.valueSize;
        EXPECT_EQ(probe.valueSizeOut, c.valueSizeOut);
        EXPECT_TRUE(probe.guardsIntact);
        if (c.writesZero) {
            EXPECT_EQ(probe.ValueAt<ULONG>(0), ULONG{KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU});
            for (size_t i = 4; i < c.valueSize; ++i) {
                EXPECT_EQ(probe.valueOut[i], PropertyProbe::Pattern);
            }
        } else {
            EXPECT_TRUE(probe.ValueUntouched());
        }
    }
}

} // namespace
