// Handles to process objects, the signalled state of an exited process, and handles duplicated
// from one process's table into another's.
#include <cstdio>
#include <cstdlib>

#include "BugCheck.h"
#include "Irql.h"
#include "Objects.h"

namespace host {

namespace {

// A handle to a process object. The object itself lives as long as the machine, so the handle
// only names it.
class ProcessHandleObject : public HandleObject {
public:
    explicit ProcessHandleObject(PEPROCESS process) : process(process) {}
    std::string Describe() const override {
        Process* named = process->Pcb.process;
        return "Process '" + (named != nullptr ? named->name : std::string("System")) + "'";
    }
    void* Body() override { return process; }
    POBJECT_TYPE Type() const override { return ProcessObjectType(); }

private:
    PEPROCESS process;
};

} // namespace

void ObjectManager::MarkExited(Process* process) {
    PEPROCESS object = ProcessObjectFor(process);
    std::lock_guard<Lock> hold(lock);
    object->Pcb.Header.SignalState = 1;
}

bool ObjectManager::HasExited(PKPROCESS process) {
    std::lock_guard<Lock> hold(lock);
    return process->Header.SignalState != 0;
}

NTSTATUS ObjectManager::OpenByPointer(void* body, ULONG attributes, ACCESS_MASK access,
                                      POBJECT_TYPE type, KPROCESSOR_MODE mode, HANDLE* handle) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    if (handle == nullptr) {
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0, 0,
                 "ObOpenObjectByPointer without a place for the handle");
    }
    *handle = nullptr;
    Process* process = nullptr;
    if (body == nullptr || !FindProcess(static_cast<PKPROCESS>(body), &process)) {
        std::fprintf(stderr, "host: ObOpenObjectByPointer supports process objects only\n");
        std::abort();
    }
    if (type != nullptr && type != ProcessObjectType()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    (void)mode; // a kernel caller's own request: no access check, as with KernelMode
    Processes& processes = Machine::Current().Get<Processes>();
    HandleTable& table = (attributes & OBJ_KERNEL_HANDLE) != 0 ? processes.KernelHandles()
                                                               : processes.CurrentHandles();
    *handle =
        Insert(table, std::make_shared<ProcessHandleObject>(static_cast<PEPROCESS>(body)), access);
    return STATUS_SUCCESS;
}

HANDLE ObjectManager::Duplicate(HandleTable& from, HANDLE handle, HandleTable& to) {
    std::uint32_t granted = 0;
    std::shared_ptr<HandleObject> object = from.Lookup(handle, &granted);
    if (!object) {
        return nullptr;
    }
    return to.Insert(std::move(object), granted);
}

} // namespace host

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                PACCESS_STATE PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    (void)PassedAccessState;
    return host::ObjectManager::Current().OpenByPointer(Object, HandleAttributes, DesiredAccess,
                                                        ObjectType, AccessMode, Handle);
}
