// ZwClose and ZwWaitForSingleObject: the system services a driver calls on its own handles.
// A driver's Zw call runs with kernel previous mode, so kernel handles are accepted and no access
// is checked; closing a handle that names nothing is a driver bug Windows stops the machine for.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BugCheck.h"
#include "Irql.h"
#include "Objects.h"
#include "Process.h"
#include "Registry.h"

namespace {

constexpr unsigned long long KernelHandleBit = 0x8000000000000000ull;

std::string HandleText(HANDLE handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", reinterpret_cast<unsigned long long>(handle));
    return text;
}

} // namespace

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    // Registry keys still have their own handle table, with values apart from the object
    // manager's.
    if (host::IsRegistryHandle(Handle)) {
        return host::CloseKeyFrom(KernelMode, Handle);
    }
    host::Processes& processes = host::Machine::Current().Get<host::Processes>();
    bool kernelHandle = (reinterpret_cast<unsigned long long>(Handle) & KernelHandleBit) != 0;
    host::Process* owner = kernelHandle ? nullptr : host::CurrentProcess();
    host::HandleTable& table =
        kernelHandle ? processes.KernelHandles() : processes.CurrentHandles();
    if (!host::CloseHandleIn(table, Handle, owner)) {
        host::BugCheck(INVALID_KERNEL_HANDLE, reinterpret_cast<ULONG_PTR>(Handle), 0, 0, 0,
                       "ZwClose of handle " + HandleText(Handle) + ", which is not open in the " +
                           (kernelHandle ? std::string("kernel's handle table")
                                         : "current process's handle table") +
                           " (closed twice, or never opened)");
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWaitForSingleObject");
    host::ObjectManager& objects = host::ObjectManager::Current();
    PVOID object = nullptr;
    NTSTATUS status =
        objects.ReferenceByHandle(Handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    POBJECT_TYPE type = objects.TypeOfBody(object);
    if (type == host::ProcessObjectType()) {
        // A process is signalled once it has exited. Only a poll is modelled: a wait that
        // would block on a live process has no host thread to wake it.
        if (objects.HasExited(static_cast<PKPROCESS>(object))) {
            status = STATUS_SUCCESS;
        } else if (Timeout != nullptr && Timeout->QuadPart == 0) {
            status = STATUS_TIMEOUT;
        } else {
            std::fprintf(stderr, "host: ZwWaitForSingleObject that may block on a live process "
                                 "is not supported (a zero time-out is)\n");
            std::abort();
        }
        objects.Dereference(object, "ZwWaitForSingleObject");
        return status;
    }
    if (type != host::EventObjectType() && type != host::ThreadObjectType()) {
        std::fprintf(stderr,
                     "host: ZwWaitForSingleObject on a %s object is not supported (events, "
                     "threads and processes are)\n",
                     type != nullptr ? type->name : "untyped");
        std::abort();
    }
    status = KeWaitForSingleObject(object, Executive, KernelMode, Alertable, Timeout);
    objects.Dereference(object, "ZwWaitForSingleObject");
    return status;
}
