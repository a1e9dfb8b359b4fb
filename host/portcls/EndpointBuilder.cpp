// Endpoint creation for registered WaveRT filters: the flow comes from the filter's streaming pin,
// the name from the device instance and the filter's reference string.
#include "EndpointBuilder.h"

#include <ksmedia.h>

#include <optional>

#include "Port.h"
#include "kernel/AudioEndpoints.h"
#include "kernel/DeviceInterfaces.h"
#include "kernel/IoManager.h"
#include "kernel/Registry.h"

namespace host {

namespace {

bool IsWaveRTPort(PortBase* port) {
    PVOID waveRT = nullptr;
    if (!NT_SUCCESS(static_cast<IPortEvents*>(port)->QueryInterface(IID_IPortWaveRT, &waveRT))) {
        return false;
    }
    static_cast<PUNKNOWN>(waveRT)->Release();
    return true;
}

// The flow of the filter's first streaming pin: one that clients instantiate (it has instances
// and is a sink) and that carries data ranges. Bridge pins have no instances.
std::optional<EndpointFlow> StreamingFlow(const PCFILTER_DESCRIPTOR* descriptor) {
    for (ULONG index = 0; index < descriptor->PinCount; ++index) {
        const PCPIN_DESCRIPTOR& pin = descriptor->Pins[index];
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        const bool sink = ks.Communication == KSPIN_COMMUNICATION_SINK ||
                          ks.Communication == KSPIN_COMMUNICATION_BOTH;
        if (pin.MaxGlobalInstanceCount == 0 || !sink || ks.DataRangesCount == 0) {
            continue;
        }
        if (ks.DataFlow == KSPIN_DATAFLOW_IN) {
            return EndpointFlow::Render;
        }
        if (ks.DataFlow == KSPIN_DATAFLOW_OUT) {
            return EndpointFlow::Capture;
        }
    }
    return std::nullopt;
}

bool HasEndpointFor(EndpointFlow flow, const std::u16string& filterPath) {
    const std::u16string wanted = u"{2}." + filterPath;
    for (const AudioEndpoint& endpoint : ListAudioEndpoints()) {
        if (endpoint.flow != flow) {
            continue;
        }
        std::optional<RegistryValue> value =
            ReadRegistryValue(endpoint.propertiesPath, EndpointFilterProperty);
        if (!value || value->type != REG_SZ || value->data.size() < sizeof(char16_t)) {
            continue;
        }
        std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()),
                            value->data.size() / sizeof(char16_t));
        text.resize(text.find(u'\0') == std::u16string::npos ? text.size() : text.find(u'\0'));
        if (EqualNoCase(text, wanted)) {
            return true;
        }
    }
    return false;
}

} // namespace

void BuildAudioEndpoint(PortBase* port, PDEVICE_OBJECT physicalDevice,
                        const std::vector<SubdeviceInterface>& interfaces) {
    if (!IsWaveRTPort(port)) {
        return;
    }
    bool audioInterface = false;
    for (const SubdeviceInterface& entry : interfaces) {
        audioInterface = audioInterface || IsEqualGUID(entry.category, KSCATEGORY_AUDIO);
    }
    std::optional<EndpointFlow> flow = StreamingFlow(port->Descriptor());
    if (!audioInterface || !flow) {
        return;
    }
    const std::u16string instanceId =
        Machine::Current().Get<IoManager>().InstanceId(physicalDevice);
    if (instanceId.empty() ||
        HasEndpointFor(*flow, AudioFilterInterfacePath(instanceId, port->name))) {
        return;
    }
    AddAudioEndpoint(*flow, instanceId, port->name);
}

} // namespace host
