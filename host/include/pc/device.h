// Device-level declarations of wdm.h that the port-class interfaces name: the DMA device
// description a WaveRT miniport fills, the device registry properties and the object
// attributes a port's registry calls take.
#pragma once

typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    Vmcs,
    ACPIBus,
    MaximumInterfaceType
} INTERFACE_TYPE,
    *PINTERFACE_TYPE;

typedef enum _DMA_WIDTH {
    Width8Bits,
    Width16Bits,
    Width32Bits,
    Width64Bits,
    MaximumDmaWidth
} DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

#define DEVICE_DESCRIPTION_VERSION 0
#define DEVICE_DESCRIPTION_VERSION1 1
#define DEVICE_DESCRIPTION_VERSION2 2

// The fields every Windows version has (the first 40 bytes); later versions append more.
typedef struct _DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

static_assert(sizeof(DEVICE_DESCRIPTION) == 40, "DEVICE_DESCRIPTION: the first 40 bytes");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, Master) == 4, "Master");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, Dma32BitAddresses) == 8, "Dma32");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, Dma64BitAddresses) == 11, "Dma64");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, BusNumber) == 12, "BusNumber");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, DmaChannel) == 16, "DmaChannel");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, InterfaceType) == 20, "InterfaceType");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, DmaWidth) == 24, "DmaWidth");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, DmaSpeed) == 28, "DmaSpeed");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, MaximumLength) == 32, "MaximumLength");
static_assert(__builtin_offsetof(DEVICE_DESCRIPTION, DmaPort) == 36, "DmaPort");

typedef enum {
    DevicePropertyDeviceDescription,
    DevicePropertyHardwareID,
    DevicePropertyCompatibleIDs,
    DevicePropertyBootConfiguration,
    DevicePropertyBootConfigurationTranslated,
    DevicePropertyClassName,
    DevicePropertyClassGuid,
    DevicePropertyDriverKeyName,
    DevicePropertyManufacturer,
    DevicePropertyFriendlyName,
    DevicePropertyLocationInformation,
    DevicePropertyPhysicalDeviceObjectName,
    DevicePropertyBusTypeGuid,
    DevicePropertyLegacyBusType,
    DevicePropertyBusNumber,
    DevicePropertyEnumeratorName,
    DevicePropertyAddress,
    DevicePropertyUINumber,
    DevicePropertyInstallState,
    DevicePropertyRemovalPolicy,
    DevicePropertyResourceRequirements,
    DevicePropertyAllocatedResources,
    DevicePropertyContainerID
} DEVICE_REGISTRY_PROPERTY;
