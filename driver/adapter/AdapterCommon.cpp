// Construction, identity, power management and start-up of the adapter-wide object.
#include "AdapterCommon.h"

#include "adapter/DriverEntry.h"
#include "audio/MiniportWaveRT.h"
#include "transport/SharedBuffer.h"

AdapterCommon::AdapterCommon()
    : UnknownBase(nullptr), deviceObject(nullptr), resourceList(nullptr),
      renderFilters(&renderChannel), renderChannel(true, &renderEndpoint),
      captureFilters(&captureChannel), captureChannel(false, &captureEndpoint),
      renderEndpoint(&renderChannel), captureEndpoint(&captureChannel), started(0) {
    ListInit(&clientFileList);
}

// Members end in reverse order: the file list (empty by then: every recorded filter file is
// closed before the device goes away), the endpoints with their shared memory (Capture first),
// then per direction (Capture first) the channel with its worker and the filters with their
// miniports.
AdapterCommon::~AdapterCommon() {}

NTSTATUS NTAPI AdapterCommon::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    PUNKNOWN chosen = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        chosen = PrimaryInterface();
    } else if (IsEqualGUID(iid, IID_IAdapterPowerManagement2)) {
        chosen = static_cast<IAdapterPowerManagement2*>(this);
    }
    return AnswerInterface(chosen, object);
}

STDMETHODIMP_(void) AdapterCommon::PowerChangeState(POWER_STATE newState) {
    UNREFERENCED_PARAMETER(newState);
}

STDMETHODIMP_(NTSTATUS) AdapterCommon::QueryPowerChangeState(POWER_STATE newStateQuery) {
    UNREFERENCED_PARAMETER(newStateQuery);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) AdapterCommon::QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) {
    UNREFERENCED_PARAMETER(capabilities);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void)
AdapterCommon::PowerChangeState2(DEVICE_POWER_STATE newDeviceState,
                                 SYSTEM_POWER_STATE newSystemState) {
    UNREFERENCED_PARAMETER(newDeviceState);
    UNREFERENCED_PARAMETER(newSystemState);
}

NTSTATUS AdapterCommon::Init(PDEVICE_OBJECT device, PRESOURCELIST resources) {
    deviceObject = device;
    resourceList = resources;

    NTSTATUS status = PcRegisterAdapterPowerManagement(PrimaryInterface(), device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AllocateSharedMemory(&renderEndpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AllocateSharedMemory(&captureEndpoint);
}

namespace {
NTSTATUS StartDirection(DirectionFilters* filters, TransportChannel* channel, PIRP startIrp,
                        const SubdeviceOwner& owner) {
    NTSTATUS status = filters->Create(startIrp, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The endpoint property writer finds the direction's endpoints by the private interface's
    // link, which the driver context owns for the whole load (null only in a bare adapter).
    DriverContext* context = PublishedDriverContext();
    return StartChannel(channel, filters,
                        context != nullptr ? &context->interfaceLinkName : nullptr,
                        filters->waveMiniport->subdeviceName);
}
} // namespace

NTSTATUS AdapterCommon::CreateSubdevices(PIRP startIrp) {
    const SubdeviceOwner owner = {deviceObject, PrimaryInterface(), resourceList};
    NTSTATUS status = StartDirection(&renderFilters, &renderChannel, startIrp, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return StartDirection(&captureFilters, &captureChannel, startIrp, owner);
}
