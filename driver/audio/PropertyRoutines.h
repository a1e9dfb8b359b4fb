// Property-request routines shared by the topology and WaveRT miniports: size negotiation,
// the basic-support reply and the CPU-resources property, plus the one pin automation table
// (CPU resources) that both filters' bridge pins and the topology node use.
#pragma once

#include "platform/AudioHeaders.h"

// The type identifier that means "no type": FillBasicSupport answers a null type set and id 0.
const ULONG NoPropertyType = 0xFFFF;
// VT_UI4, the variant type of a 32-bit unsigned value.
const ULONG PropertyTypeUnsigned32 = 19;

// Value size 0: sets it to minimumValue and returns STATUS_BUFFER_OVERFLOW (the caller learns
// the size). A value or (when minimumInstance is not 0) an instance below its minimum:
// STATUS_BUFFER_TOO_SMALL. Otherwise STATUS_SUCCESS.
NTSTATUS CheckPropertySizes(PPCPROPERTY_REQUEST request, ULONG minimumInstance, ULONG minimumValue);

// The KSPROPERTY_DESCRIPTION reply (40 bytes), or only the access flags (4 bytes) when the
// value is shorter; never writes past the value size.
NTSTATUS FillBasicSupport(PPCPROPERTY_REQUEST request, const GUID& typeSet, ULONG typeId);

// KSPROPERTY_AUDIO_CPU_RESOURCES: the device uses no host processing.
NTSTATUS NTAPI CpuResourcesHandler(PPCPROPERTY_REQUEST request);

extern const PCAUTOMATION_TABLE CpuResourcesAutomationTable;
