// IRPs, their completion and the verifier's checks around a dispatch routine; file objects and
// their create, cleanup and close requests.
#include "IoManager.h"

#include <cstdio>
#include <cstring>

#include "BugCheck.h"
#include "Irql.h"
#include "Objects.h"
#include "ProcessorBlock.h"
#include "Process.h"

namespace host {

const char* MajorFunctionName(UCHAR majorFunction) {
    static const char* const names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "IRP_MJ_CREATE",
        "IRP_MJ_CREATE_NAMED_PIPE",
        "IRP_MJ_CLOSE",
        "IRP_MJ_READ",
        "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION",
        "IRP_MJ_SET_INFORMATION",
        "IRP_MJ_QUERY_EA",
        "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS",
        "IRP_MJ_QUERY_VOLUME_INFORMATION",
        "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL",
        "IRP_MJ_FILE_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
        "IRP_MJ_SHUTDOWN",
        "IRP_MJ_LOCK_CONTROL",
        "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT",
        "IRP_MJ_QUERY_SECURITY",
        "IRP_MJ_SET_SECURITY",
        "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL",
        "IRP_MJ_DEVICE_CHANGE",
        "IRP_MJ_QUERY_QUOTA",
        "IRP_MJ_SET_QUOTA",
        "IRP_MJ_PNP",
    };
    return majorFunction <= IRP_MJ_MAXIMUM_FUNCTION ? names[majorFunction] : "IRP_MJ_?";
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string ToUtf8(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xc0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            result += static_cast<char>(0xe0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            result += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return result;
}

std::u16string FromUnicodeString(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer),
                          text->Length / sizeof(WCHAR));
}

// ---- IRPs ----

PIRP IoManager::AllocateIrp(CCHAR stackSize, Process* requester, size_t systemBufferBytes,
                            IrpRecord** taken) {
    if (stackSize < 1) {
        BugCheck(NO_MORE_IRP_STACK_LOCATIONS, 0, 0, 0, 0, "an IRP needs at least one location");
    }
    IrpRecord* record = nullptr;
    {
        std::lock_guard<Lock> hold(lock);
        record = irps.Take(stackSize, requester);
    }
    PIRP irp = record->irp.load(std::memory_order_relaxed);
    if (systemBufferBytes != 0) {
        irp->AssociatedIrp.SystemBuffer = IrpPool::SystemBuffer(record, systemBufferBytes);
    }
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    // No location is current yet: IoCallDriver moves to the first one.
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
    irp->RequestorMode = requester != nullptr ? UserMode : KernelMode;
    if (taken != nullptr) {
        *taken = record;
    }
    return irp;
}

void IoManager::FreeIrp(PIRP irp, IrpRecord* record) {
    if (record == nullptr) {
        record = FindIrp(irp);
    }
    std::lock_guard<Lock> hold(lock);
    // An abandoned IRP stays: its driver may still complete it.
    if (record != nullptr && !record->abandoned) {
        irps.Give(record);
    }
}

// Inline in Send and IofCallDriver, its only callers.
[[gnu::always_inline]] inline NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) {
        BugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
                 "IoCallDriver with no stack location left for the device");
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    location->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[location->MajorFunction];
    KIRQL before = CurrentIrql();
    PrepareThreadForDriver();
    NTSTATUS status = dispatch(device, irp);
    if (CurrentIrql() != before) {
        ReportIrqlChange(location->MajorFunction, before);
    }
    return status;
}

void IoManager::ReportIrqlChange(UCHAR majorFunction, KIRQL entered) {
    Report(std::string(MajorFunctionName(majorFunction)) + " dispatch routine returned at IRQL " +
           std::to_string(CurrentIrql()) + ", entered at " + std::to_string(entered));
    SetCurrentIrql(entered);
}

// Inline in IofCompleteRequest, its only caller.
[[gnu::always_inline]] inline HOST_KEEPS_XMM void IoManager::CompleteRequest(PIRP irp,
                                                                             CCHAR priorityBoost) {
    (void)priorityBoost;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    IrpRecord* record = FindIrp(irp);
    if (record == nullptr || record->IsCompleted()) {
        RefuseCompletion(irp, record != nullptr);
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        RefusePendingCompletion(irp);
    }
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
    // Records are never freed while the machine lives, so a sender that has already returned
    // and reused this record takes the wake-up for a spurious one and looks again.
    const std::uint32_t before =
        record->completion.exchange(IrpPool::Completed, std::memory_order_acq_rel);
    if (before == IrpPool::Completed) {
        RefuseCompletion(irp, true); // two completions raced
    }
    if (before == IrpPool::Awaited) {
        FutexWake(&record->completion, 1);
    }
}

HOST_KEEPS_XMM void IoManager::RefuseCompletion(PIRP irp, bool live) {
    BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(irp), 0, 0, 0,
             live ? "IoCompleteRequest of an IRP that was already completed"
                  : "IoCompleteRequest of an IRP that is not live (already completed)");
}

HOST_KEEPS_XMM void IoManager::RefusePendingCompletion(PIRP irp) {
    BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x228, reinterpret_cast<ULONG_PTR>(irp), 0, 0,
             "IoCompleteRequest with STATUS_PENDING in the IRP's status");
}

void IoManager::AwaitCompletion(IrpRecord* record) {
    std::uint32_t seen = IrpPool::Pending;
    if (!record->completion.compare_exchange_strong(seen, IrpPool::Awaited,
                                                    std::memory_order_acquire) &&
        seen == IrpPool::Completed) {
        return;
    }
    while (record->completion.load(std::memory_order_acquire) != IrpPool::Completed) {
        FutexWait(&record->completion, IrpPool::Awaited);
    }
}

NTSTATUS IoManager::Send(PDEVICE_OBJECT device, PIRP irp, IrpRecord* record) {
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    const UCHAR major = location->MajorFunction;
    NTSTATUS returned = CallDriver(device, irp);
    if (record == nullptr) {
        record = FindIrp(irp);
    }
    if (returned == STATUS_PENDING) {
        AwaitCompletion(record);
        return irp->IoStatus.Status;
    }
    if (!record->IsCompleted()) {
        std::lock_guard<Lock> hold(lock);
        record->abandoned = true;
        findings.push_back(std::string(MajorFunctionName(major)) + " dispatch routine returned " +
                           StatusText(returned) + " without completing the IRP");
        return returned;
    }
    if (irp->IoStatus.Status != returned) {
        std::lock_guard<Lock> hold(lock);
        findings.push_back(std::string(MajorFunctionName(major)) + " dispatch routine returned " +
                           StatusText(returned) + " but completed the IRP with " +
                           StatusText(irp->IoStatus.Status));
    }
    return irp->IoStatus.Status;
}

bool IoManager::IsFrom32BitProcess(PIRP irp) {
    Process* process = CurrentProcess();
    if (irp != nullptr) {
        IrpRecord* record = FindIrp(irp);
        process = record != nullptr ? record->requester : nullptr;
    }
    return process != nullptr && process->is32Bit;
}

size_t IoManager::RequestsInFlight(Process* process) {
    std::lock_guard<Lock> hold(lock);
    size_t count = 0;
    irps.ForEachLive([&](const IrpRecord& record) {
        count += record.requester == process && !record.IsCompleted() && !record.abandoned ? 1 : 0;
    });
    return count;
}

// ---- Files ----

std::string FileRecord::Describe() const {
    return "File \"" + ToUtf8(name) + "\"";
}

_OBJECT_TYPE* FileRecord::Type() const {
    return FileObjectType();
}

void FileRecord::HandleClosed(Process* owner, bool lastHandle) {
    (void)owner;
    if (lastHandle) {
        Machine::Current().Get<IoManager>().SendFileRequest(*this, IRP_MJ_CLEANUP);
        Dereference();
    }
}

HOST_KEEPS_XMM void FileRecord::SendClose() {
    Machine::Current().Get<IoManager>().SendFileRequest(*this, IRP_MJ_CLOSE);
}

std::shared_ptr<FileRecord> IoManager::NewFile(PDEVICE_OBJECT device, const std::u16string& name,
                                               std::shared_ptr<FileRecord> related) {
    auto file = std::make_shared<FileRecord>();
    file->self = file;
    file->device = device;
    file->name = name;
    file->related = std::move(related);
    FILE_OBJECT& object = file->object;
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    object.RelatedFileObject = file->related ? &file->related->object : nullptr;
    object.FileName.Buffer = reinterpret_cast<PWSTR>(file->name.data());
    object.FileName.Length = static_cast<USHORT>(file->name.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    return file;
}

NTSTATUS IoManager::Open(const std::shared_ptr<FileRecord>& file) {
    PDEVICE_OBJECT top = TopOfStack(file->device);
    PIRP irp = AllocateIrp(top->StackSize, CurrentProcess());
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_CREATE;
    location->FileObject = &file->object;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = Send(top, irp);
    FreeIrp(irp);
    if (NT_SUCCESS(status)) {
        // The opener's reference, dropped after cleanup.
        file->Reference();
        std::lock_guard<Lock> hold(lock);
        openFiles.insert(file.get());
    }
    return status;
}

void IoManager::SendFileRequest(FileRecord& file, UCHAR majorFunction) {
    PDEVICE_OBJECT top = TopOfStack(file.device);
    PIRP irp = AllocateIrp(top->StackSize, CurrentProcess());
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = majorFunction;
    location->FileObject = &file.object;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = Send(top, irp);
    bool refusedBySystem = false;
    {
        std::lock_guard<Lock> hold(lock);
        refusedBySystem = FindIrp(irp)->refusedBySystem;
    }
    FreeIrp(irp);
    // The I/O manager ignores the status; a driver that set no routine for the kind gets the
    // system's refusal, which is no fault. A routine of the driver's own must not fail it.
    if (!NT_SUCCESS(status) && !refusedBySystem) {
        Report(std::string(MajorFunctionName(majorFunction)) + " of " + file.Describe() +
               " failed with " + StatusText(status) + " (it cannot fail on Windows)");
    }
    if (majorFunction == IRP_MJ_CLOSE) {
        std::lock_guard<Lock> hold(lock);
        openFiles.erase(&file);
    }
}

size_t IoManager::OpenFileCount(PDEVICE_OBJECT device) {
    std::lock_guard<Lock> hold(lock);
    size_t count = 0;
    for (FileRecord* file : openFiles) {
        if (file->device == device) {
            ++count;
        }
    }
    return count;
}

void IoManager::Verify(std::vector<std::string>& problems) {
    std::lock_guard<Lock> hold(lock);
    problems.insert(problems.end(), findings.begin(), findings.end());
    irps.ForEachLive([&](const IrpRecord& record) {
        if (!record.IsCompleted() && !record.abandoned) {
            // The kind of its current location, or of the first one if it was never sent.
            const IRP& irp = *record.irp.load();
            const auto* locations = reinterpret_cast<const IO_STACK_LOCATION*>(&irp + 1);
            const UCHAR major = irp.CurrentLocation >= 1 && irp.CurrentLocation <= irp.StackCount
                                    ? irp.Tail.Overlay.CurrentStackLocation->MajorFunction
                                    : locations[irp.StackCount - 1].MajorFunction;
            problems.push_back(std::string(MajorFunctionName(major)) + " IRP never completed");
        }
    });
}

} // namespace host

using host::IoManager;
using host::Machine;

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    Machine::Current().Get<IoManager>().CompleteRequest(Irp, PriorityBoost);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Machine::Current().Get<IoManager>().CallDriver(DeviceObject, Irp);
}

extern "C" BOOLEAN NTAPI IoIs32bitProcess(PIRP Irp) {
    return Machine::Current().Get<IoManager>().IsFrom32BitProcess(Irp) ? TRUE : FALSE;
}
