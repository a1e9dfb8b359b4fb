// The host I/O manager: driver and device objects, device stacks, IRPs with their stack
// locations, file objects and the rules Windows (with its verifier) holds drivers to: an IRP is
// completed exactly once, a dispatch routine that does not return STATUS_PENDING has completed
// its IRP, and a buffered request never hands back more bytes than the caller's buffer holds.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <ntddk.h>

#include "Handles.h"
#include "Machine.h"

namespace host {

class Process;

// A FILE_OBJECT and what the I/O manager knows about it. Handles hold it; every IRP in flight
// holds a reference: cleanup goes to the driver when the last handle closes, close when the last
// reference goes, as on Windows.
class FileRecord : public HandleObject {
public:
    FILE_OBJECT object{};
    std::u16string name;
    // The device the name resolved to (FileObject->DeviceObject) and the top of its stack.
    PDEVICE_OBJECT device = nullptr;
    std::shared_ptr<FileRecord> related;

    std::string Describe() const override;
    void* Body() override { return &object; }
    void HandleClosed(Process* owner, bool lastHandle) override;

    void Reference();
    // Drops a reference; the last one sends IRP_MJ_CLOSE to the driver.
    void Dereference();

private:
    friend class IoManager;
    std::atomic<int> references{0};
    std::weak_ptr<FileRecord> self;
};

class IoManager : public Subsystem {
public:
    IoManager();
    ~IoManager() override;

    // ---- Driver and device objects ----
    // A driver object with every major function set to the I/O manager's invalid-request
    // routine, as Windows prepares one before calling DriverEntry.
    PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);
    void DeleteDriverObject(PDRIVER_OBJECT driver);
    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type,
                          ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
    void DeleteDevice(PDEVICE_OBJECT device);
    // A root-enumerated physical device object ("ROOT\MEDIA\0000", ...) owned by the host's
    // root bus; it is the bottom of the stack a function driver attaches to.
    PDEVICE_OBJECT CreateRootDevice(const std::u16string& deviceClass);
    bool IsDevice(PDEVICE_OBJECT device);
    bool IsPhysicalDevice(PDEVICE_OBJECT device);
    std::u16string InstanceId(PDEVICE_OBJECT device);
    static PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
    // The device below device in its stack (null at the bottom).
    PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);
    void SetLowerDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);

    // ---- IRPs ----
    // A fresh IRP with stackSize locations, none current yet; the caller fills the next one.
    PIRP AllocateIrp(CCHAR stackSize, Process* requester);
    void FreeIrp(PIRP irp);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
    void CompleteRequest(PIRP irp, CCHAR priorityBoost);
    // Sends irp to device and returns once it is completed, checking what the dispatch routine
    // did. The IRP stays allocated (the caller reads IoStatus and frees it).
    NTSTATUS Send(PDEVICE_OBJECT device, PIRP irp);
    bool IsFrom32BitProcess(PIRP irp);

    // ---- Files ----
    std::shared_ptr<FileRecord> NewFile(PDEVICE_OBJECT device, const std::u16string& name,
                                        std::shared_ptr<FileRecord> related);
    // Sends IRP_MJ_CREATE for file in the current process; on failure the file is dropped
    // without cleanup or close, as Windows does.
    NTSTATUS Open(const std::shared_ptr<FileRecord>& file);
    // Sends a cleanup or close request for file; used by FileRecord.
    void SendFileRequest(FileRecord& file, UCHAR majorFunction);
    size_t OpenFileCount(PDEVICE_OBJECT device);

    bool IsLiveDriver(PDRIVER_OBJECT driver);

    // A finding of the verifier, reported by Verify().
    void Report(const std::string& problem);
    // Hands over (and forgets) the findings so far: for tests that provoke one on purpose.
    std::vector<std::string> TakeFindings();
    void Verify(std::vector<std::string>& problems) override;

private:
    struct DriverRecord {
        DRIVER_OBJECT object{};
        DRIVER_EXTENSION extension{};
        std::u16string name;
    };
    struct DeviceRecord {
        std::unique_ptr<DEVICE_OBJECT> object;
        std::vector<unsigned char> extension;
        bool physical = false;
        std::u16string instanceId;
        PDEVICE_OBJECT lower = nullptr;
    };
    struct IrpRecord {
        std::unique_ptr<unsigned char[]> storage;
        Process* requester = nullptr;
        bool completed = false;
        // Returned from dispatch without being completed: already reported, never waited for.
        bool abandoned = false;
        UCHAR majorFunction = 0;
    };

    IrpRecord* FindIrp(PIRP irp);

    std::mutex lock;
    std::condition_variable completed;
    std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
    std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
    std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> irps;
    std::set<FileRecord*> openFiles;
    std::vector<std::string> findings;
    PDRIVER_OBJECT rootBus = nullptr;
    unsigned nextRootInstance = 0;
};

// Names for messages: "IRP_MJ_CREATE", a device's driver name, a status in hex.
const char* MajorFunctionName(UCHAR majorFunction);
std::string StatusText(NTSTATUS status);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUnicodeString(PCUNICODE_STRING text);

} // namespace host
