// Object types, handle lookup with Windows's statuses, and object references. An object lives as
// long as a handle or a reference names it: references hold the object as handles do, and a
// file's references also hold back its close request, as the I/O manager's own ones do.
#include "Objects.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "BugCheck.h"
#include "Dispatcher.h"
#include "IoManager.h"
#include "Irql.h"
#include "Thread.h"

namespace {

constexpr ACCESS_MASK FileGenericRead = 0x00120089;
constexpr ACCESS_MASK FileGenericWrite = 0x00120116;
constexpr ACCESS_MASK FileGenericExecute = 0x001200A0;
constexpr ACCESS_MASK FileAllAccess = 0x001F01FF;

_OBJECT_TYPE eventType{"Event",
                       {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE,
                        STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                        STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS}};
_OBJECT_TYPE threadType{"Thread",
                        {STANDARD_RIGHTS_READ | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                         STANDARD_RIGHTS_WRITE | THREAD_TERMINATE | THREAD_SUSPEND_RESUME |
                             THREAD_SET_INFORMATION | THREAD_SET_CONTEXT,
                         STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, THREAD_ALL_ACCESS}};
_OBJECT_TYPE processType{"Process",
                         {STANDARD_RIGHTS_READ | PROCESS_VM_READ | PROCESS_QUERY_INFORMATION,
                          STANDARD_RIGHTS_WRITE | PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION |
                              PROCESS_VM_WRITE | PROCESS_DUP_HANDLE | PROCESS_TERMINATE,
                          STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, PROCESS_ALL_ACCESS}};
_OBJECT_TYPE fileType{"File",
                      {FileGenericRead, FileGenericWrite, FileGenericExecute, FileAllAccess}};
// Device objects are referenced by pointer only (IoGetDeviceAttachmentBaseRef and kin).
_OBJECT_TYPE deviceType{
    "Device",
    {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE, STANDARD_RIGHTS_EXECUTE, STANDARD_RIGHTS_ALL}};

POBJECT_TYPE eventTypePointer = &eventType;
POBJECT_TYPE threadTypePointer = &threadType;
POBJECT_TYPE processTypePointer = &processType;
POBJECT_TYPE fileTypePointer = &fileType;

constexpr unsigned long long KernelHandleBit = 0x8000000000000000ull;

// Generic rights become the type's specific ones; MAXIMUM_ALLOWED asks for nothing in particular.
ACCESS_MASK MapAccess(ACCESS_MASK access, POBJECT_TYPE type) {
    constexpr ACCESS_MASK Generic = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                    MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY;
    ACCESS_MASK mapped = access & ~Generic;
    if (type == nullptr || (access & Generic) == 0) {
        return mapped;
    }
    if (access & GENERIC_READ) {
        mapped |= type->mapping.GenericRead;
    }
    if (access & GENERIC_WRITE) {
        mapped |= type->mapping.GenericWrite;
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= type->mapping.GenericExecute;
    }
    if (access & GENERIC_ALL) {
        mapped |= type->mapping.GenericAll;
    }
    return mapped;
}

std::string Address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

bool IsThreadObject(void* body) {
    auto* header = static_cast<DISPATCHER_HEADER*>(body);
    if (header->Type != ThreadObject) {
        return false;
    }
    host::Dispatcher& dispatcher = host::Dispatcher::Current();
    std::lock_guard<host::Lock> hold(dispatcher.lock);
    // Identity check: bug-checks a look-alike that is no thread object of this machine.
    dispatcher.RequireWaitable(header, "an object reference");
    return true;
}

} // namespace

namespace host {

POBJECT_TYPE EventObjectType() {
    return &eventType;
}
POBJECT_TYPE ThreadObjectType() {
    return &threadType;
}
POBJECT_TYPE ProcessObjectType() {
    return &processType;
}
POBJECT_TYPE FileObjectType() {
    return &fileType;
}

ObjectManager::ObjectManager() {
    systemProcess.Pcb.Header.Type = ProcessObject;
    systemProcess.Pcb.Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
    systemProcess.Pcb.process = nullptr;
    systemProcess.Pcb.id = SystemProcessId;
}

ObjectManager::~ObjectManager() = default;

HANDLE ObjectManager::Insert(HandleTable& table, std::shared_ptr<HandleObject> object,
                             ACCESS_MASK access) {
    ACCESS_MASK granted = MapAccess(access, object->Type());
    return table.Insert(std::move(object), granted);
}

NTSTATUS ObjectManager::FindCurrent(HANDLE handle, HandleLookup* found) {
    if (handle == NtCurrentProcess()) {
        found->body = ProcessObjectFor(CurrentProcess());
        found->type = &processType;
        found->granted = PROCESS_ALL_ACCESS;
    } else {
        found->body = CurrentThread();
        found->type = &threadType;
        found->granted = THREAD_ALL_ACCESS;
    }
    return STATUS_SUCCESS;
}

// Inline in LookupHandle: every user-mode wait and event call comes through here.
[[gnu::always_inline]] inline NTSTATUS ObjectManager::Find(HANDLE handle, KPROCESSOR_MODE mode,
                                                           HandleLookup* found) {
    if (handle == NtCurrentProcess() || handle == NtCurrentThread()) {
        return FindCurrent(handle, found);
    }
    const bool kernelHandle = (reinterpret_cast<unsigned long long>(handle) & KernelHandleBit) != 0;
    // A kernel handle means something only to a kernel-mode caller; from user mode it names
    // nothing, even in the system process, whose table here is the kernel's.
    if (kernelHandle && mode != KernelMode) {
        return STATUS_INVALID_HANDLE;
    }
    Process* process = kernelHandle ? nullptr : CurrentProcess();
    HandleTable& table = process != nullptr ? process->Handles()
                                            : Machine::Current().Get<Processes>().KernelHandles();
    if (!table.Lookup(handle, found)) {
        return STATUS_INVALID_HANDLE;
    }
    // Handles the I/O manager opened itself carry every right of their type.
    if (found->granted == HandleTable::EveryRight && found->type != nullptr) {
        found->granted = found->type->mapping.GenericAll;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::LookupHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                     KPROCESSOR_MODE mode, HandleLookup* found) {
    NTSTATUS status = Find(handle, mode, found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (type != nullptr && found->type != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode != KernelMode && (MapAccess(desiredAccess, found->type) & ~found->granted) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                          POBJECT_TYPE type, KPROCESSOR_MODE mode, PVOID* object,
                                          POBJECT_HANDLE_INFORMATION information) {
    RequireIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
    if (object == nullptr) {
        BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0, 0,
                 "ObReferenceObjectByHandle without a place for the object");
    }
    *object = nullptr;
    HandleLookup found;
    NTSTATUS status = LookupHandle(handle, desiredAccess, type, mode, &found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<Lock> hold(lock);
        Referenced& entry = references[found.body];
        if (entry.count++ == 0) {
            entry.keepAlive = found.object;
            entry.isFile = found.type == &fileType;
        }
    }
    if (found.object && found.type == &fileType) {
        static_cast<FileRecord*>(found.object.get())->Reference();
    }
    if (information != nullptr) {
        information->HandleAttributes = 0;
        information->GrantedAccess = found.granted;
    }
    *object = found.body;
    return STATUS_SUCCESS;
}

std::string ObjectManager::DescribeBody(const void* body, const HandleObject* object) {
    if (object != nullptr) {
        return object->Describe();
    }
    IoManager& io = Machine::Current().Get<IoManager>();
    auto* device = static_cast<PDEVICE_OBJECT>(const_cast<void*>(body));
    if (io.IsDevice(device)) {
        const std::u16string instance = io.InstanceId(device);
        return "Device" + (instance.empty() ? std::string() : " '" + ToUtf8(instance) + "'");
    }
    const auto* header = static_cast<const DISPATCHER_HEADER*>(body);
    if (header->Type == ThreadObject) {
        return "Thread '" + ThreadName(const_cast<PKTHREAD>(static_cast<const _KTHREAD*>(body))) +
               "'";
    }
    Process* process = static_cast<const _KPROCESS*>(body)->process;
    return "Process '" + (process != nullptr ? process->name : std::string("System")) + "'";
}

POBJECT_TYPE ObjectManager::TypeOfBody(void* body) {
    {
        std::lock_guard<Lock> hold(lock);
        auto found = references.find(body);
        if (found != references.end() && found->second.keepAlive) {
            return found->second.keepAlive->Type();
        }
    }
    Process* process = nullptr;
    if (FindProcess(static_cast<PKPROCESS>(body), &process)) {
        return &processType;
    }
    if (IsThreadObject(body)) {
        return &threadType;
    }
    return Machine::Current().Get<IoManager>().IsDevice(static_cast<PDEVICE_OBJECT>(body))
               ? &deviceType
               : nullptr;
}

// Both calls keep to what the lock guards and to code of the Windows convention on their way
// for an object already referenced; whatever else they need (the map, the close of a file, the
// bug checks) lies in routines of their own.
HOST_KEEPS_XMM LONG_PTR ObjectManager::Reference(void* body, const char* what) {
    RequireIrqlAtMost(DISPATCH_LEVEL, what);
    if (body == nullptr) {
        RefuseNullReference(what);
    }
    lock.lock();
    Referenced* entry = FindReferenced(body);
    if (entry == nullptr) {
        return ReferenceFirst(body, what);
    }
    if (entry->isFile) {
        // The entry holds the file, so it cannot go before this reference is counted.
        static_cast<FileRecord*>(entry->keepAlive.get())->Reference();
    }
    const LONG_PTR count = ++entry->count;
    lock.unlock();
    return count;
}

HOST_KEEPS_XMM LONG_PTR ObjectManager::ReferenceFirst(void* body, const char* what) {
    lock.unlock();
    // Thread and process objects can be referenced by pointer without a handle; other objects
    // are known once a handle lookup has referenced them.
    if (TypeOfBody(body) == nullptr) {
        BugCheck(REFERENCE_BY_POINTER, 0, reinterpret_cast<ULONG_PTR>(body), 0, 0,
                 std::string(what) + " on " + Address(body) +
                     ", which is not an object the host knows (thread, process and device "
                     "objects, and objects referenced through a handle, are)");
    }
    std::lock_guard<Lock> hold(lock);
    // Another thread may have referenced it meanwhile.
    Referenced& entry = references[body];
    if (entry.isFile) {
        static_cast<FileRecord*>(entry.keepAlive.get())->Reference();
    }
    return ++entry.count;
}

HOST_KEEPS_XMM void ObjectManager::RefuseNullReference(const char* what) {
    BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0, 0,
             std::string(what) + " on a null object");
}

HOST_KEEPS_XMM ObjectManager::Referenced* ObjectManager::FindReferencedSlow(const void* body) {
    auto found = references.find(body);
    if (found == references.end()) {
        return nullptr;
    }
    lastBody = body;
    lastReferenced = &found->second;
    return lastReferenced;
}

HOST_KEEPS_XMM LONG_PTR ObjectManager::Dereference(void* body, const char* what) {
    RequireIrqlAtMost(DISPATCH_LEVEL, what);
    lock.lock();
    Referenced* entry = FindReferenced(body);
    if (entry == nullptr || entry->count <= 0) {
        RefuseDereference(body, what);
    }
    const LONG_PTR count = --entry->count;
    if (count == 0) {
        ForgetReferenced(body);
    } else if (entry->isFile && static_cast<FileRecord*>(entry->keepAlive.get())->DropReference()) {
        CloseHeldFile(*entry);
    } else {
        lock.unlock();
    }
    return count;
}

HOST_KEEPS_XMM void ObjectManager::RefuseDereference(void* body, const char* what) {
    BugCheck(REFERENCE_BY_POINTER, 0, reinterpret_cast<ULONG_PTR>(body), 0, 0,
             std::string(what) + " on " + Address(body) +
                 ", which holds no reference: the object would be freed under its other users");
}

HOST_KEEPS_XMM void ObjectManager::ForgetReferenced(const void* body) {
    auto found = references.find(body);
    std::shared_ptr<HandleObject> held = std::move(found->second.keepAlive);
    const bool isFile = found->second.isFile;
    references.erase(found);
    if (lastBody == body) {
        lastBody = nullptr;
        lastReferenced = nullptr;
    }
    lock.unlock();
    // Outside the lock: the last reference of a file sends its close request to the driver, and
    // the last holder of an object frees it.
    if (isFile) {
        static_cast<FileRecord*>(held.get())->Dereference();
    }
}

HOST_KEEPS_XMM void ObjectManager::CloseHeldFile(const Referenced& entry) {
    std::shared_ptr<HandleObject> held = entry.keepAlive;
    lock.unlock();
    static_cast<FileRecord*>(held.get())->SendClose();
}

long ObjectManager::ReferenceCount(const void* body) {
    std::lock_guard<Lock> hold(lock);
    auto found = references.find(body);
    return found == references.end() ? 0 : found->second.count;
}

PEPROCESS ObjectManager::ProcessObjectFor(Process* process) {
    std::lock_guard<Lock> hold(lock);
    if (process == nullptr) {
        return &systemProcess;
    }
    std::unique_ptr<_EPROCESS>& object = processObjects[process];
    if (!object) {
        object = std::make_unique<_EPROCESS>();
        object->Pcb.Header.Type = ProcessObject;
        object->Pcb.Header.Size = sizeof(DISPATCHER_HEADER) / sizeof(LONG);
        object->Pcb.process = process;
        object->Pcb.id = process->id;
    }
    return object.get();
}

bool ObjectManager::FindProcess(PKPROCESS process, Process** found) {
    std::lock_guard<Lock> hold(lock);
    if (process == &systemProcess.Pcb) {
        *found = nullptr;
        return true;
    }
    for (const auto& entry : processObjects) {
        if (&entry.second->Pcb == process) {
            *found = entry.first;
            return true;
        }
    }
    return false;
}

void ObjectManager::FailReference(NTSTATUS status, unsigned skip) {
    std::lock_guard<Lock> hold(lock);
    referenceFailurePending = !NT_SUCCESS(status);
    referenceFailureStatus = status;
    referenceFailureSkip = skip;
}

bool ObjectManager::TakeInjectedReferenceFailure(NTSTATUS* status) {
    std::lock_guard<Lock> hold(lock);
    if (!referenceFailurePending) {
        return false;
    }
    if (referenceFailureSkip > 0) {
        --referenceFailureSkip;
        return false;
    }
    referenceFailurePending = false;
    *status = referenceFailureStatus;
    return true;
}

void ObjectManager::Report(const std::string& finding) {
    std::lock_guard<Lock> hold(lock);
    findings.push_back(finding);
}

std::vector<std::string> ObjectManager::TakeFindings() {
    std::lock_guard<Lock> hold(lock);
    std::vector<std::string> taken;
    taken.swap(findings);
    return taken;
}

void ObjectManager::Verify(std::vector<std::string>& problems) {
    std::lock_guard<Lock> hold(lock);
    problems.insert(problems.end(), findings.begin(), findings.end());
    for (const auto& entry : references) {
        problems.push_back(std::to_string(entry.second.count) + " reference" +
                           (entry.second.count == 1 ? "" : "s") + " still held on " +
                           DescribeBody(entry.first, entry.second.keepAlive.get()) + " at " +
                           Address(entry.first));
    }
}

void FailObjectReference(NTSTATUS status, unsigned skip) {
    ObjectManager::Current().FailReference(status, skip);
}

void ClearObjectFaults() {
    ObjectManager::Current().FailReference(STATUS_SUCCESS, 0);
}

long ObjectReferenceCount(const void* object) {
    return ObjectManager::Current().ReferenceCount(object);
}

PEPROCESS ProcessObjectOf(Process* process) {
    return ObjectManager::Current().ProcessObjectFor(process);
}

} // namespace host

using host::ObjectManager;

extern "C" {
POBJECT_TYPE* ExEventObjectType = &eventTypePointer;
POBJECT_TYPE* PsThreadType = &threadTypePointer;
POBJECT_TYPE* PsProcessType = &processTypePointer;
POBJECT_TYPE* IoFileObjectType = &fileTypePointer;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
    ObjectManager& objects = ObjectManager::Current();
    NTSTATUS injected = STATUS_SUCCESS;
    if (objects.TakeInjectedReferenceFailure(&injected)) {
        if (Object != nullptr) {
            *Object = nullptr;
        }
        return injected;
    }
    return objects.ReferenceByHandle(Handle, DesiredAccess, ObjectType, AccessMode, Object,
                                     HandleInformation);
}

// Flattened: the object manager's work is inline in the exports drivers call.
extern "C" [[gnu::flatten]] LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    return ObjectManager::Current().Reference(Object, "ObReferenceObject");
}

extern "C" [[gnu::flatten]] LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    return ObjectManager::Current().Dereference(Object, "ObDereferenceObject");
}
