// The property-request routines that both miniports' automation tables name.
#include "audio/PropertyRoutines.h"

namespace {

const ULONG DescriptionBytes = sizeof(KSPROPERTY_DESCRIPTION);

const PCPROPERTY_ITEM CpuResourcesProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, CpuResourcesHandler},
};

} // namespace

DEFINE_PCAUTOMATION_TABLE_PROP(CpuResourcesAutomationTable, CpuResourcesProperties);

NTSTATUS CheckPropertySizes(PPCPROPERTY_REQUEST request, ULONG minimumInstance,
                            ULONG minimumValue) {
    if (request->ValueSize == 0) {
        request->ValueSize = minimumValue;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < minimumValue) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (minimumInstance != 0 && request->InstanceSize < minimumInstance) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FillBasicSupport(PPCPROPERTY_REQUEST request, const GUID& typeSet, ULONG typeId) {
    ULONG accessFlags = request->PropertyItem->Flags;
    if (request->ValueSize >= DescriptionBytes) {
        KSPROPERTY_DESCRIPTION description;
        RtlZeroMemory(&description, sizeof(description));
        description.AccessFlags = accessFlags;
        description.DescriptionSize = DescriptionBytes;
        // Every byte reported is written: the value is a system buffer whose other contents
        // would reach the caller.
        if (typeId != NoPropertyType) {
            description.PropTypeSet.Set = typeSet;
            description.PropTypeSet.Id = typeId;
        }
        // The value need not be aligned for a KSPROPERTY_DESCRIPTION: copy bytes.
        RtlCopyMemory(request->Value, &description, DescriptionBytes);
        request->ValueSize = DescriptionBytes;
        return STATUS_SUCCESS;
    }
    if (request->ValueSize >= sizeof(ULONG)) {
        RtlCopyMemory(request->Value, &accessFlags, sizeof(accessFlags));
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (request->ValueSize == 0) {
        request->ValueSize = DescriptionBytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS NTAPI CpuResourcesHandler(PPCPROPERTY_REQUEST request) {
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return FillBasicSupport(request, KSPROPTYPESETID_General, PropertyTypeUnsigned32);
    }
    if (!(request->Verb & KSPROPERTY_TYPE_GET)) {
        // Read-only: a value handed in for anything but a get is not written over.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG resources = KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU;
    RtlCopyMemory(request->Value, &resources, sizeof(resources));
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}
