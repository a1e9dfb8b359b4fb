// The WaveRT port's pins: the create request kernel streaming sends under a filter, the pin file
// that owns the miniport's stream, and the port's own IPortWaveRTStream handed to NewStream.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <ks.h>
#include <ksmedia.h>
#include <portcls.h>

#include "Filter.h"
#include "Port.h"
#include "PortClass.h"
#include "kernel/Lock.h"

namespace host {

// A pin create's name, taken apart: the connection and the data format (FormatSize bytes,
// 8-byte aligned storage).
struct PinCreateRequest {
    KSPIN_CONNECT connect;
    std::vector<ULONGLONG> format;
    const KSDATAFORMAT& Format() const {
        return *reinterpret_cast<const KSDATAFORMAT*>(format.data());
    }
    PKSDATAFORMAT MutableFormat() { return reinterpret_cast<PKSDATAFORMAT>(format.data()); }
};

// Reads "{KSNAME_Pin}\<KSPIN_CONNECT><KSDATAFORMAT...>" (a leading backslash allowed, a pad
// byte after the format allowed). STATUS_OBJECT_NAME_NOT_FOUND for another name,
// STATUS_INVALID_BUFFER_SIZE when the connection or the format does not fit.
NTSTATUS ParsePinCreate(const UNICODE_STRING& name, PinCreateRequest* request);

// Whether a pin of descriptor accepts the connection: a streaming pin (sink or source), no
// connection to another pin, a standard interface and medium (or one the pin lists), and a
// format one of its ranges matches by major type, subtype and specifier (wildcards allowed).
NTSTATUS ValidatePinConnect(const PCFILTER_DESCRIPTOR& descriptor, const PinCreateRequest& request);

// The verbs a pin property allows (KSPROPERTY_TYPE_GET and/or KSPROPERTY_TYPE_SET) and the sizes
// it needs: the whole request (its KSPROPERTY header included) and the value. True when the
// handler should go on; false with *status final otherwise (basic support answered with the
// access flags, a verb refused, a short buffer, or an empty one learning the value's size).
bool AdmitRequest(const PropertyCall& call, ULONG access, ULONG inputSize, ULONG valueSize,
                  NTSTATUS* status, ULONG_PTR* information);

// Opens a pin of a WaveRT port's filter for a create request naming it.
NTSTATUS NewPinFile(PortBase* port, PIRP irp, std::unique_ptr<PortClassFile>* file);

// The port's side of a stream: page allocation and mapping on behalf of the miniport.
// Reference count 1 for the creator.
IPortWaveRTStream* NewPortWaveRTStream();

// The event a user handle names in the calling process (FilterFile.cpp).
NTSTATUS ReferenceUserEvent(HANDLE handle, std::shared_ptr<HandleObject>* object);

// One user mapping the port made for the caller of a request: the MDL it mapped (owned when
// ownsMdl), the process it lives in (referenced), the address the mapping returned and the
// byte the caller was given within it.
struct UserView {
    PMDL mdl = nullptr;
    bool ownsMdl = false;
    PEPROCESS process = nullptr;
    PVOID address = nullptr;
    PVOID item = nullptr;
    bool Mapped() const { return address != nullptr; }
};

// Maps mdl into the calling process; the status a failed mapping raised otherwise.
NTSTATUS MapIntoCaller(PMDL mdl, MEMORY_CACHING_TYPE cacheType, UserView* view);
// Maps the page of a kernel address that lies in an MDL's system mapping into the calling
// process; view->item is the same byte there.
NTSTATUS MapRegisterIntoCaller(PVOID kernelAddress, UserView* view);
// Unmaps a view in its own process (attaching when the caller runs elsewhere; nothing when
// that process is gone, which took its mappings with it) and drops what it holds.
void Unmap(UserView* view);

class PinFile : public PortClassFile {
public:
    PinFile(PortBase* port, ULONG pinId, PMINIPORTWAVERTSTREAM stream,
            IPortWaveRTStream* portStream, std::vector<ULONGLONG> format, ULONG formatSize);
    ~PinFile() override { Close(); }

    NTSTATUS DeviceControl(PIRP irp, ULONG_PTR* information) override;
    void Close() override;

private:
    struct Registered {
        PKEVENT event;
        std::shared_ptr<HandleObject> object;
    };

    NTSTATUS Property(PIRP irp, ULONG_PTR* information);
    NTSTATUS ConnectionProperty(const PropertyCall& call, ULONG_PTR* information);
    NTSTATUS RtAudioProperty(const PropertyCall& call, ULONG_PTR* information);
    NTSTATUS AudioProperty(const PropertyCall& call, ULONG_PTR* information);

    NTSTATUS SetState(KSSTATE target);
    NTSTATUS SetFormat(const PropertyCall& call);
    NTSTATUS AllocateBuffer(const PropertyCall& call, bool withNotification,
                            ULONG_PTR* information);
    NTSTATUS HardwareRegister(const PropertyCall& call, bool position, ULONG_PTR* information);
    NTSTATUS NotificationEvent(const PropertyCall& call, bool add);
    NTSTATUS PacketProperty(const PropertyCall& call, ULONG_PTR* information);
    void FreeBuffer();

    // The stream's optional interfaces, counted (release when done); null when it lacks one.
    PUNKNOWN Optional(const GUID& id);

    PortBase* port; // counted until Close
    const ULONG pinId;
    PMINIPORTWAVERTSTREAM stream;  // counted until Close
    IPortWaveRTStream* portStream; // counted until Close
    std::atomic<ULONG> state{KSSTATE_STOP};

    // Serialises the requests that change what the pin holds; never the library's lock, since
    // a state change waits for the client's handshake while its ticks must get through.
    Lock lock;
    std::vector<ULONGLONG> format;
    ULONG formatSize;
    UserView buffer;
    ULONG bufferSize = 0;
    bool bufferWithNotification = false;
    UserView positionRegister;
    UserView clockRegister;
    std::vector<Registered> events;
};

} // namespace host
