// The export tables of the Windows modules the host stands in for. Each line binds one name a
// driver may import to the host routine or variable behind it; a routine the host adds for a
// driver needs its line here too (make test compares these tables with the host library's
// Windows-named symbols and with what each Windows module exports).
//
// Routines the host implements but x64 Windows inlines instead of exporting (KeRaiseIrql,
// KeInitializeSpinLock, KeQuerySystemTime) are deliberately absent, as is the host's own
// MapLockedPagesGuarded: a Windows-built image brings its own.
#include "ImageExports.h"

#include <ntifs.h>
#include <portcls.h>

#include <strings.h>

#include "RtlMemory.h"

namespace host {

namespace {

#define EXPORT(name)                                                                               \
    { #name, reinterpret_cast < void*>(&name) }
// The C library routines ntoskrnl.exe exports, in the Windows convention.
#define EXPORT_AS(name, routine)                                                                   \
    { name, reinterpret_cast<void*>(&routine) }

const ImageExport ntoskrnlExports[] = {
    EXPORT(DbgBreakPoint),
    EXPORT(ExAllocatePool),
    EXPORT(ExAllocatePoolWithTag),
    EXPORT(ExEventObjectType),
    EXPORT(ExFreePool),
    EXPORT(ExFreePoolWithTag),
    EXPORT(IoAllocateMdl),
    EXPORT(IoAttachDeviceToDeviceStack),
    EXPORT(IoBuildPartialMdl),
    EXPORT(IoCreateDevice),
    EXPORT(IoDeleteDevice),
    EXPORT(IoDetachDevice),
    EXPORT(IoFileObjectType),
    EXPORT(IoFreeMdl),
    EXPORT(IoGetCurrentProcess),
    EXPORT(IoGetDeviceAttachmentBaseRef),
    EXPORT(IoGetDeviceInterfacePropertyData),
    EXPORT(IoIs32bitProcess),
    EXPORT(IoRegisterDeviceInterface),
    EXPORT(IoSetDeviceInterfacePropertyData),
    EXPORT(IoSetDeviceInterfaceState),
    EXPORT(IofCallDriver),
    EXPORT(IofCompleteRequest),
    EXPORT(KdDebuggerEnabled),
    EXPORT(KdDebuggerNotPresent),
    EXPORT(KeAcquireSpinLockRaiseToDpc),
    EXPORT(KeBugCheckEx),
    EXPORT(KeClearEvent),
    EXPORT(KeDelayExecutionThread),
    EXPORT(KeGetCurrentIrql),
    EXPORT(KeGetCurrentThread),
    EXPORT(KeInitializeEvent),
    EXPORT(KeInitializeMutex),
    EXPORT(KeLowerIrql),
    EXPORT(KeQueryPriorityThread),
    EXPORT(KeReadStateEvent),
    EXPORT(KeReadStateMutex),
    EXPORT(KeReleaseMutex),
    EXPORT(KeReleaseSpinLock),
    EXPORT(KeResetEvent),
    EXPORT(KeSetEvent),
    EXPORT(KeSetPriorityThread),
    EXPORT(KeStackAttachProcess),
    EXPORT(KeUnstackDetachProcess),
    EXPORT(KeWaitForSingleObject),
    EXPORT(MmAllocatePagesForMdl),
    EXPORT(MmAllocatePagesForMdlEx),
    EXPORT(MmFreePagesFromMdl),
    EXPORT(MmGetSystemRoutineAddress),
    EXPORT(MmMapLockedPagesSpecifyCache),
    EXPORT(MmUnmapLockedPages),
    EXPORT(ObOpenObjectByPointer),
    EXPORT(ObReferenceObjectByHandle),
    EXPORT(ObfDereferenceObject),
    EXPORT(ObfReferenceObject),
    EXPORT(PsCreateSystemThread),
    EXPORT(PsGetCurrentProcess),
    EXPORT(PsGetCurrentProcessId),
    EXPORT(PsGetCurrentThread),
    EXPORT(PsGetCurrentThreadId),
    EXPORT(PsProcessType),
    EXPORT(PsTerminateSystemThread),
    EXPORT(PsThreadType),
    EXPORT(RtlCompareMemory),
    EXPORT(RtlCompareUnicodeString),
    EXPORT(RtlEqualUnicodeString),
    EXPORT(RtlFreeUnicodeString),
    EXPORT(RtlGetVersion),
    EXPORT(RtlInitUnicodeString),
    EXPORT(RtlUpcaseUnicodeChar),
    EXPORT(ZwClose),
    EXPORT(ZwCreateKey),
    EXPORT(ZwEnumerateKey),
    EXPORT(ZwOpenKey),
    EXPORT(ZwQueryValueKey),
    EXPORT(ZwSetValueKey),
    EXPORT(ZwWaitForSingleObject),
    EXPORT(__C_specific_handler),
    EXPORT_AS("memcmp", ImageMemcmp),
    EXPORT_AS("memcpy", ImageMemcpy),
    EXPORT_AS("memmove", ImageMemmove),
    EXPORT_AS("memset", ImageMemset),
};

const ImageExport halExports[] = {
    EXPORT(KeQueryPerformanceCounter),
};

const ImageExport portclsExports[] = {
    EXPORT(PcAddAdapterDevice),
    EXPORT(PcDispatchIrp),
    EXPORT(PcInitializeAdapterDriver),
    EXPORT(PcNewPort),
    EXPORT(PcRegisterAdapterPowerManagement),
    EXPORT(PcRegisterPhysicalConnection),
    EXPORT(PcRegisterSubdevice),
    EXPORT(PcUnregisterAdapterPowerManagement),
};

#undef EXPORT
#undef EXPORT_AS

template <unsigned N>
constexpr ImageModule Module(const char* name, const ImageExport (&exports)[N]) {
    return {name, exports, N};
}

// ks.sys is a module an audio driver may import from; the host exports nothing of it yet.
const ImageModule modules[] = {
    Module("ntoskrnl.exe", ntoskrnlExports),
    Module("HAL.dll", halExports),
    Module("portcls.sys", portclsExports),
    {"ks.sys", nullptr, 0},
};

} // namespace

const ImageModule* FindImageModule(const std::string& name) {
    for (const ImageModule& module : modules) {
        if (strcasecmp(module.name, name.c_str()) == 0) {
            return &module;
        }
    }
    return nullptr;
}

void* FindImageExport(const ImageModule& module, const std::string& name) {
    // Import names are case-sensitive, as the kernel loader compares them.
    for (unsigned index = 0; index < module.count; ++index) {
        if (name == module.exports[index].name) {
            return module.exports[index].address;
        }
    }
    return nullptr;
}

const ImageModule* ImageModules(unsigned* count) {
    *count = sizeof(modules) / sizeof(modules[0]);
    return modules;
}

} // namespace host
