// The object manager: object types, the access each handle grants, references that keep an
// object alive after its last handle is closed, and the process objects (one per host::Process,
// plus the system process). Also the host's controls over it: fault injection and views.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <ntifs.h>

#include "Handles.h"
#include "Lock.h"
#include "Machine.h"
#include "Process.h"

// An object type: its name for messages, how generic rights map onto its specific ones, and
// every right it has.
struct _OBJECT_TYPE {
    const char* name;
    GENERIC_MAPPING mapping;
};

// Process objects. As on Windows the kernel part comes first, so a PEPROCESS converts to a
// PKPROCESS by a cast.
struct _KPROCESS {
    DISPATCHER_HEADER Header;
    host::Process* process; // null for the system process
    ULONG_PTR id;
};
struct _EPROCESS {
    _KPROCESS Pcb;
};

namespace host {

// The object types Windows exports, as the pointers the exported variables point to.
POBJECT_TYPE EventObjectType();
POBJECT_TYPE ThreadObjectType();
POBJECT_TYPE ProcessObjectType();
POBJECT_TYPE FileObjectType();

// The process id Windows gives the system process.
constexpr ULONG_PTR SystemProcessId = 4;

class ObjectManager : public Subsystem {
public:
    ObjectManager();
    ~ObjectManager() override;
    static ObjectManager& Current() { return Machine::Current().Get<ObjectManager>(); }

    // Inserts object into table; the handle grants access (generic rights mapped by the type).
    HANDLE Insert(HandleTable& table, std::shared_ptr<HandleObject> object, ACCESS_MASK access);

    // What a handle names for one call of a system service: the object (held by the caller
    // while it works; null for the current thread and process, which live as long as the
    // machine), the pointer a kernel caller gets, its type and the access the handle grants.
    using HandleLookup = HandleTable::Named;
    // The checks of ObReferenceObjectByHandle (handle, type, and access for a user-mode caller)
    // without its counted reference: the host's own system services (user-mode event calls and
    // waits) hold the object in found for the length of the call, as the reference they take on
    // Windows is dropped before they return.
    NTSTATUS LookupHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                          KPROCESSOR_MODE mode, HandleLookup* found);

    // ObReferenceObjectByHandle without fault injection.
    NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                               KPROCESSOR_MODE mode, PVOID* object,
                               POBJECT_HANDLE_INFORMATION information);

    // ObfReferenceObject / ObfDereferenceObject: the new count. what names the call for the
    // refusal of an address that is no object or an object without references. The Windows
    // convention (see KeepsXmm.h): a driver calls them on every request of some kinds.
    HOST_KEEPS_XMM LONG_PTR Reference(void* body, const char* what);
    HOST_KEEPS_XMM LONG_PTR Dereference(void* body, const char* what);
    long ReferenceCount(const void* body);

    // The type of a referenced object or of a thread or process object; null for anything else.
    POBJECT_TYPE TypeOfBody(void* body);

    PEPROCESS ProcessObjectFor(Process* process);
    // A process object is signalled once its process has exited: after its handles are
    // closed and its address space is gone, as Windows signals it last.
    void MarkExited(Process* process);
    bool HasExited(PKPROCESS process);

    // ObOpenObjectByPointer: a new handle (in the kernel's table for OBJ_KERNEL_HANDLE, else in
    // the current process's) to a process object the caller holds.
    NTSTATUS OpenByPointer(void* body, ULONG attributes, ACCESS_MASK access, POBJECT_TYPE type,
                           KPROCESSOR_MODE mode, HANDLE* handle);
    // DuplicateHandle: the object handle names in from, with the same access, now also named
    // by a handle in to; null when from holds no such handle.
    HANDLE Duplicate(HandleTable& from, HANDLE handle, HandleTable& to);
    // Whether process is one of this machine's process objects, and the host process it stands
    // for (null: the system process).
    bool FindProcess(PKPROCESS process, Process** found);

    // Fault injection of the exported ObReferenceObjectByHandle.
    void FailReference(NTSTATUS status, unsigned skip);
    bool TakeInjectedReferenceFailure(NTSTATUS* status);

    void Report(const std::string& finding);
    std::vector<std::string> TakeFindings();
    // References still held on objects (each one leaks the object on Windows) and findings.
    void Verify(std::vector<std::string>& problems) override;

private:
    struct Referenced {
        std::shared_ptr<HandleObject> keepAlive; // null for thread and process objects
        long count = 0;
        // A file's references also hold back its close, so each one reaches the file.
        bool isFile = false;
    };

    // What handle names, with no access or type check; fills found.
    NTSTATUS Find(HANDLE handle, KPROCESSOR_MODE mode, HandleLookup* found);
    // Find for the pseudo-handles of the current process and thread.
    NTSTATUS FindCurrent(HANDLE handle, HandleLookup* found);
    // The entry of body, or null (expects lock). A driver references the same few objects over
    // and over, and a map node stays put until it is erased, so the last one found is kept.
    Referenced* FindReferenced(const void* body) {
        return body == lastBody ? lastReferenced : FindReferencedSlow(body);
    }
    [[gnu::noinline]] HOST_KEEPS_XMM Referenced* FindReferencedSlow(const void* body);
    // The paths of Reference and Dereference that leave for Linux-convention code, each called
    // with the lock held and releasing it: the first reference by pointer, the last one, and a
    // file's last reference (its close request, sent once the lock is released). Reference and
    // Dereference take and release the lock by hand: a guard object would bring the unwinder.
    [[gnu::noinline]] HOST_KEEPS_XMM LONG_PTR ReferenceFirst(void* body, const char* what);
    [[gnu::noinline]] HOST_KEEPS_XMM void ForgetReferenced(const void* body);
    [[gnu::noinline]] HOST_KEEPS_XMM void CloseHeldFile(const Referenced& entry);
    [[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM static void
    RefuseNullReference(const char* what);
    [[noreturn, gnu::cold, gnu::noinline]] HOST_KEEPS_XMM static void
    RefuseDereference(void* body, const char* what);
    std::string DescribeBody(const void* body, const HandleObject* object);

    Lock lock;
    std::unordered_map<const void*, Referenced> references;
    const void* lastBody = nullptr;
    Referenced* lastReferenced = nullptr;
    std::map<Process*, std::unique_ptr<_EPROCESS>> processObjects;
    _EPROCESS systemProcess{};
    std::vector<std::string> findings;
    bool referenceFailurePending = false;
    NTSTATUS referenceFailureStatus = STATUS_SUCCESS;
    unsigned referenceFailureSkip = 0;
};

// ---- Controls for tests ----

// After skip calls of ObReferenceObjectByHandle have gone through, the next one fails with status.
void FailObjectReference(NTSTATUS status = STATUS_INVALID_HANDLE, unsigned skip = 0);
void ClearObjectFaults();

// The references ObReferenceObject* calls hold on object now.
long ObjectReferenceCount(const void* object);

// The process object of process (null: the system process) and the other way round.
PEPROCESS ProcessObjectOf(Process* process);

// Called when a system thread ends: drops any attach the thread left in place and returns how
// many there were.
std::size_t DetachAllProcesses();

} // namespace host
