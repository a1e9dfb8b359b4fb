// Construction, identity, power management and start-up of the adapter-wide object.
#include "AdapterCommon.h"

#include "transport/SharedBuffer.h"

AdapterCommon::AdapterCommon()
    : UnknownBase(nullptr), deviceObject(nullptr), resourceList(nullptr),
      renderChannel(true, &renderEndpoint), captureChannel(false, &captureEndpoint),
      renderEndpoint(&renderChannel), captureEndpoint(&captureChannel), started(0) {
    ListInit(&clientFileList);
}

// Members end in reverse order: the file list (empty by then: every recorded filter file is
// closed before the device goes away), the endpoints with their shared memory (Capture first),
// then the channels with their workers and miniports (Capture first).
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

NTSTATUS AdapterCommon::CreateSubdevices(PIRP startIrp) {
    const SubdeviceOwner owner = {deviceObject, PrimaryInterface(), resourceList};
    NTSTATUS status = StartChannel(&renderChannel, startIrp, owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return StartChannel(&captureChannel, startIrp, owner);
}
