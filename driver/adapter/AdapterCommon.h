// The adapter-wide object: one per started device. The port-class library knows it as the
// adapter (power management); it owns both directions' filters, channels and endpoints and the
// list of WaveRT filter files that the port-class library has opened.
#pragma once

#include "audio/DirectionFilters.h"
#include "support/Lists.h"
#include "support/Locks.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"
#include "support/UnknownBase.h"

// The primary interface as a base of its own, so that it stays a distinct subobject from the
// IAdapterPowerManagement inside IAdapterPowerManagement2.
class AdapterPowerManagement : public IAdapterPowerManagement {};

class AdapterCommon : public UnknownBase,
                      public AdapterPowerManagement,
                      public IAdapterPowerManagement2 {
public:
    AdapterCommon();
    ~AdapterCommon() override;

    FORWARD_UNKNOWN_TO_OUTER

    NTSTATUS NTAPI NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    // The device has no hardware to power: every power request succeeds and changes nothing.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE newStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override;
    STDMETHODIMP_(void)
    PowerChangeState2(DEVICE_POWER_STATE newDeviceState,
                      SYSTEM_POWER_STATE newSystemState) override;

    // The adapter's identity as the port-class library sees it.
    PUNKNOWN PrimaryInterface() {
        return static_cast<IAdapterPowerManagement*>(static_cast<AdapterPowerManagement*>(this));
    }

    NTSTATUS Init(PDEVICE_OBJECT deviceObject, PRESOURCELIST resources);
    // Each direction in turn (Render first): its filters, then its channel and worker.
    NTSTATUS CreateSubdevices(PIRP startIrp);
    // The whole start succeeded: from now on the transport files may be opened. Until then
    // the shared memory or the channels may not exist.
    VOID MarkStarted() { InterlockedExchange(&started, 1); }
    bool IsStarted() { return InterlockedCompareExchange(&started, 0, 0) != 0; }

    // Request routing. Each returns STATUS_MORE_PROCESSING_REQUIRED, without touching the
    // request, when it is not the transport side's; otherwise it completes it.
    // A create: of a transport name (not relative to another file), or relative to a
    // transport file, which nothing serves.
    NTSTATUS OpenTransportFile(PIRP irp);
    // Any other request on a transport file: cleanup and close end the client, device control
    // runs the control request, every other kind is refused.
    NTSTATUS ServeTransportFile(PIRP irp);
    // The endpoint whose file fileObject is, or null.
    TransportEndpoint* EndpointOfFile(PFILE_OBJECT fileObject);
    PUNKNOWN FindWaveMiniport(PCWSTR name);
    struct ClientFileRecord* AddClientFile(PUNKNOWN miniport, PFILE_OBJECT fileObject);
    PUNKNOWN FindClientFile(PFILE_OBJECT fileObject);
    VOID RemoveClientFile(PFILE_OBJECT fileObject);

    PDEVICE_OBJECT deviceObject;
    PRESOURCELIST resourceList;
    // Declared so that they end in this order: the endpoints with their shared memory (Capture
    // first), then per direction (Capture first) the channel, whose worker stops, and then the
    // filters, which release their miniports.
    DirectionFilters renderFilters;
    TransportChannel renderChannel;
    DirectionFilters captureFilters;
    TransportChannel captureChannel;
    TransportEndpoint renderEndpoint;
    TransportEndpoint captureEndpoint;
    List clientFileList;
    RecursiveSpinLock clientFileLock;
    LONG started; // set once by MarkStarted, read by creates on any thread
};

// True for a create that names a transport file: one of the two names, not relative to
// another file. Needs no adapter, so that a create before the start can be refused too.
bool NamesTransportFile(PFILE_OBJECT fileObject);

// One WaveRT filter file opened through the port-class library.
struct ClientFileRecord {
    ListNode node;
    PFILE_OBJECT fileObject; // not referenced
    PUNKNOWN miniport;       // the WaveRT miniport whose filter was opened; not referenced
};
