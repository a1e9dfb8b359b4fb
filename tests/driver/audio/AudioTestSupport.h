// Shared pieces of the audio device model's tests: a direction's channel and endpoint built as
// the adapter builds them, a port that records its events, and property requests whose
// buffers carry guard bytes behind the sizes they announce.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "HostTest.h"
#include "audio/MiniportTopology.h"
#include "audio/MiniportWaveRT.h"
#include "support/Memory.h"
#include "transport/TransportChannel.h"
#include "transport/TransportEndpoint.h"

namespace audio_test {

// One direction: the channel bound to its endpoint, with a control block in test memory (what
// StartChannel links the channel to).
struct Direction {
    explicit Direction(bool renderFlag) : channel(renderFlag, &endpoint), endpoint(&channel) {
        std::memset(&block, 0, sizeof(block));
        channel.controlBlock = &block;
    }
    ~Direction() { Disconnect(); }

    // The state a fully connected client leaves: its file, both client mappings, a non-empty
    // data buffer and its event. None of it is dereferenced by the miniports.
    void Connect() {
        endpoint.clientFile = reinterpret_cast<PFILE_OBJECT>(&fakeObjects[0]);
        endpoint.controlBlock.clientAddress = &fakeObjects[1];
        endpoint.dataBuffer.clientAddress = &fakeObjects[2];
        endpoint.dataBufferBytes = 4096;
        endpoint.clientEvent = reinterpret_cast<PKEVENT>(&fakeObjects[3]);
    }
    void Disconnect() {
        endpoint.clientFile = nullptr;
        endpoint.controlBlock.clientAddress = nullptr;
        endpoint.dataBuffer.clientAddress = nullptr;
        endpoint.dataBufferBytes = 0;
        endpoint.clientEvent = nullptr;
    }
    void SetFormat(ULONG rate, ULONG bits, ULONG channels, ULONG containerBytes, ULONG mask) {
        channel.currentFormat = DeviceFormat{rate, bits, channels, containerBytes, mask};
    }

    TransportChannel channel;
    TransportEndpoint endpoint;
    transport::TransportControlBlock block;
    ULONGLONG fakeObjects[4] = {};
};

struct GeneratedEvent {
    GUID set;
    ULONG id;
    BOOL pinEvent;
    ULONG pinId;
    BOOL nodeEvent;
    ULONG nodeId;
};

// A port of the given interface that counts its references, answers IPortEvents only when
// asked to, and records the events it is told to generate. Owned by the test.
template <typename PortInterface>
class FakePort : public PortInterface, public IPortEvents {
public:
    explicit FakePort(bool offerEvents) : offerEvents(offerEvents) {}

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
        if (IsEqualGUID(iid, IID_IPortEvents) && offerEvents) {
            *object = static_cast<IPortEvents*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_NOINTERFACE_FOR_TEST;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                   PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(void) AddEventToEventList(PKSEVENT_ENTRY entry) override {
        addedEntries.push_back(entry);
    }
    STDMETHODIMP_(void)
    GenerateEventList(GUID* set, ULONG id, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                      ULONG nodeId) override {
        generated.push_back(GeneratedEvent{*set, id, pinEvent, pinId, nodeEvent, nodeId});
    }

    // A failure status of the port's own, so that tests can tell it is passed through.
    static constexpr NTSTATUS STATUS_NOINTERFACE_FOR_TEST = static_cast<NTSTATUS>(0xC0000BB0);

    bool offerEvents;
    LONG references = 0;
    std::vector<PKSEVENT_ENTRY> addedEntries;
    std::vector<GeneratedEvent> generated;
};

// A property request with separate instance and value buffers, each followed by guard bytes.
// The value starts filled with a pattern so that writes are visible.
struct PropertyProbe {
    static constexpr size_t GuardBytes = 32;
    static constexpr unsigned char Guard = 0xA5;
    static constexpr unsigned char Pattern = 0xCC;

    PUNKNOWN target = nullptr;
    ULONG node = 0xFFFFFFFF;
    const PCPROPERTY_ITEM* item = nullptr;
    ULONG verb = KSPROPERTY_TYPE_GET;
    std::vector<unsigned char> instance;
    std::vector<unsigned char> value; // its size is the request's ValueSize

    // Results.
    NTSTATUS status = 0;
    ULONG valueSizeOut = 0;
    std::vector<unsigned char> valueOut; // the value bytes after the call (value.size())
    bool guardsIntact = false;
    bool instanceIntact = false;

    void SetValueSize(size_t size) { value.assign(size, Pattern); }
    void SetPin(ULONG pin, size_t instanceSize = sizeof(ULONG)) {
        instance.assign(instanceSize, 0);
        if (instanceSize != 0) {
            std::memcpy(instance.data(), &pin, std::min(instanceSize, sizeof(pin)));
        }
    }

    NTSTATUS Run(PCPFNPROPERTY_HANDLER handler) {
        std::vector<unsigned char> valueBuffer(value);
        valueBuffer.insert(valueBuffer.end(), GuardBytes, Guard);
        std::vector<unsigned char> instanceBuffer(instance);
        instanceBuffer.insert(instanceBuffer.end(), GuardBytes, Guard);

        PCPROPERTY_REQUEST request;
        std::memset(&request, 0, sizeof(request));
        request.MajorTarget = target;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.InstanceSize = static_cast<ULONG>(instance.size());
        request.Instance = instanceBuffer.data();
        request.ValueSize = static_cast<ULONG>(value.size());
        request.Value = valueBuffer.data();

        status = handler(&request);
        valueSizeOut = request.ValueSize;
        valueOut.assign(valueBuffer.begin(), valueBuffer.begin() + value.size());
        guardsIntact = true;
        for (size_t i = value.size(); i < valueBuffer.size(); ++i) {
            guardsIntact = guardsIntact && valueBuffer[i] == Guard;
        }
        instanceIntact = std::equal(instance.begin(), instance.end(), instanceBuffer.begin()) &&
                         std::all_of(instanceBuffer.begin() + instance.size(), instanceBuffer.end(),
                                     [](unsigned char byte) { return byte == Guard; });
        return status;
    }

    bool ValueUntouched() const {
        return std::all_of(valueOut.begin(), valueOut.end(),
                           [](unsigned char byte) { return byte == Pattern; });
    }
    template <typename T>
    T ValueAt(size_t offset) const {
        T result;
        std::memcpy(&result, valueOut.data() + offset, sizeof(T));
        return result;
    }
};

// Holds the creator's reference on a miniport and drops it at the end of the test. The storage
// comes from the driver's allocator, which its last Release frees it to.
template <typename Miniport>
struct MiniportHolder {
    MiniportHolder(bool isCapture, TransportChannel* channel)
        : miniport(new (AllocateMemory(sizeof(Miniport))) Miniport(isCapture, channel)) {
        miniport->MiniportInterface()->AddRef();
    }
    ~MiniportHolder() { miniport->MiniportInterface()->Release(); }
    Miniport* operator->() const { return miniport; }
    Miniport* miniport;
};

} // namespace audio_test
