// An open filter: property requests (copied in and out as kernel streaming copies them), and
// event enabling through the miniport's event tables into the port's event list.
#include <cstring>
#include <vector>

#include "Filter.h"
#include "WaveRTPin.h"
#include "kernel/IoManager.h"
#include "kernel/Irql.h"
#include "kernel/Objects.h"
#include "kernel/Poison.h"
#include "kernel/Process.h"

namespace host {

namespace {

// Fill of the value buffer a handler gets, so bytes it reports without writing show.
constexpr unsigned char ValueFill = 0xB5;

} // namespace

// The event a user handle names in the calling process: an event of the kernel's object
// manager (what CreateEvent makes).
NTSTATUS ReferenceUserEvent(HANDLE handle, std::shared_ptr<HandleObject>* object) {
    std::shared_ptr<HandleObject> found =
        Machine::Current().Get<Processes>().CurrentHandles().Lookup(handle);
    if (!found) {
        return STATUS_INVALID_HANDLE;
    }
    if (found->Type() != EventObjectType()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = std::move(found);
    return STATUS_SUCCESS;
}

unsigned char* PropertyCopies::Buffer(unsigned char* inPlace,
                                      std::unique_ptr<unsigned char[]>* large, size_t bytes) {
    if (bytes > InlineBytes) {
        large->reset(new unsigned char[bytes]);
        return large->get();
    }
    PoisonBytes(inPlace + bytes, InlineBytes - bytes);
    return inPlace;
}

NTSTATUS PropertyCopies::Take(PIRP irp, PropertyCall* call) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const ULONG inputLength = parameters.InputBufferLength;
    const ULONG outputLength = parameters.OutputBufferLength;
    if (inputLength < sizeof(KSPROPERTY) || parameters.Type3InputBuffer == nullptr ||
        (outputLength != 0 && irp->UserBuffer == nullptr)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    unsigned char* inputCopy = Buffer(input, &largeInput, inputLength);
    std::memcpy(inputCopy, parameters.Type3InputBuffer, inputLength);
    call->irp = irp;
    std::memcpy(&call->property, inputCopy, sizeof(call->property));
    call->input = inputCopy;
    call->inputLength = inputLength;
    // A set carries its value in the output buffer; a get starts from fill.
    valueLength = outputLength;
    valueCopy = nullptr;
    if (outputLength != 0) {
        valueCopy = Buffer(value, &largeValue, outputLength);
        if ((call->property.Flags & KSPROPERTY_TYPE_SET) != 0) {
            std::memcpy(valueCopy, irp->UserBuffer, outputLength);
        } else {
            std::memset(valueCopy, ValueFill, outputLength);
        }
    } else {
        PoisonBytes(value, sizeof(value));
    }
    call->value = valueCopy;
    call->valueLength = outputLength;
    return STATUS_SUCCESS;
}

NTSTATUS PropertyCopies::Give(PIRP irp, NTSTATUS status, ULONG_PTR* information) {
    if (NT_SUCCESS(status) && *information > valueLength) {
        Machine::Current().Get<IoManager>().Report(
            "a property handler reported " + std::to_string(*information) +
            " value bytes for a value buffer of " + std::to_string(valueLength));
        *information = valueLength;
    }
    if (!NT_ERROR(status) && valueLength != 0) {
        const ULONG_PTR copied = *information < valueLength ? *information : valueLength;
        std::memcpy(irp->UserBuffer, valueCopy, copied);
    }
    return status;
}

namespace {

class FilterFile : public PortClassFile {
public:
    explicit FilterFile(PortBase* port) : port(port) { port->AddRef(); }
    ~FilterFile() override { Close(); }

    NTSTATUS DeviceControl(PIRP irp, ULONG_PTR* information) override;
    NTSTATUS CreateChild(PIRP irp, std::unique_ptr<PortClassFile>* child) override {
        return port != nullptr ? NewPinFile(port, irp, child) : STATUS_DEVICE_NOT_READY;
    }
    void Close() override;

private:
    NTSTATUS Property(PIRP irp, ULONG_PTR* information);
    NTSTATUS EnableEvent(PIRP irp);
    NTSTATUS DisableEvent(PIRP irp);
    void Disable(PKSEVENT_ENTRY entry);

    PortBase* port; // counted until Close
    std::vector<std::unique_ptr<KSEVENT_ENTRY>> events;
};

NTSTATUS FilterFile::DeviceControl(PIRP irp, ULONG_PTR* information) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "a kernel-streaming request");
    *information = 0;
    if (port == nullptr || !port->IsBound()) {
        return STATUS_DEVICE_NOT_READY; // the device is going
    }
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY:
        return Property(irp, information);
    case IOCTL_KS_ENABLE_EVENT:
        return EnableEvent(irp);
    case IOCTL_KS_DISABLE_EVENT:
        return DisableEvent(irp);
    default:
        // Methods are not part of any table the library serves.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS FilterFile::Property(PIRP irp, ULONG_PTR* information) {
    return ServeProperty(irp, information, [this](const PropertyCall& call, ULONG_PTR* written) {
        bool handled = false;
        NTSTATUS status = HandlePinProperty(*port, call, &handled, written);
        return handled ? status : HandleAutomationProperty(*port, call, written);
    });
}

NTSTATUS FilterFile::EnableEvent(PIRP irp) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const ULONG inputLength = parameters.InputBufferLength;
    if (inputLength < sizeof(KSEVENT) || parameters.Type3InputBuffer == nullptr) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSE_NODE request{};
    std::memcpy(&request, parameters.Type3InputBuffer,
                inputLength < sizeof(request) ? inputLength : sizeof(request));
    const KSEVENT& header = request.Event;
    const bool topology = (header.Flags & KSEVENT_TYPE_TOPOLOGY) != 0;
    const ULONG verbFlags = header.Flags & ~KSEVENT_TYPE_TOPOLOGY;
    ULONG verb = PCEVENT_VERB_NONE;
    if (verbFlags == KSEVENT_TYPE_ENABLE) {
        verb = PCEVENT_VERB_ADD;
    } else if (verbFlags == KSEVENT_TYPE_BASICSUPPORT) {
        verb = PCEVENT_VERB_SUPPORT;
    } else {
        return STATUS_INVALID_PARAMETER; // one-shot, buffered and the rest are not served
    }

    const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
    const PCEVENT_ITEM* item = nullptr;
    ULONG node = ULONG(-1);
    ULONG pin = ULONG(-1);
    if (topology) {
        if (inputLength < sizeof(KSE_NODE)) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        if (request.NodeId >= descriptor->NodeCount) {
            return STATUS_INVALID_PARAMETER;
        }
        node = request.NodeId;
        item = FindEventItem(descriptor->Nodes[node].AutomationTable, header.Set, header.Id);
    } else {
        item = FindEventItem(descriptor->AutomationTable, header.Set, header.Id);
        // A KSE_PIN narrows the event to one pin; its pin's table may serve it too.
        if (inputLength >= sizeof(KSE_PIN)) {
            if (request.NodeId >= descriptor->PinCount) {
                return STATUS_INVALID_PARAMETER;
            }
            pin = request.NodeId;
            if (item == nullptr) {
                item = FindEventItem(descriptor->Pins[pin].AutomationTable, header.Set, header.Id);
            }
        }
    }
    if (item == nullptr) {
        return STATUS_NOT_FOUND;
    }
    const ULONG needed =
        verb == PCEVENT_VERB_ADD ? PCEVENT_ITEM_FLAG_ENABLE : PCEVENT_ITEM_FLAG_BASICSUPPORT;
    if ((item->Flags & needed) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PCEVENT_REQUEST call{port->MajorTarget(), nullptr, node, item, nullptr, verb, irp};
    if (verb == PCEVENT_VERB_SUPPORT) {
        return item->Handler != nullptr ? item->Handler(&call) : STATUS_SUCCESS;
    }

    if (parameters.OutputBufferLength < sizeof(KSEVENTDATA) || irp->UserBuffer == nullptr) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSEVENTDATA data;
    std::memcpy(&data, irp->UserBuffer, sizeof(data));
    if (data.NotificationType != KSEVENTF_EVENT_HANDLE) {
        return STATUS_INVALID_PARAMETER; // semaphores, DPCs and work items are not served
    }
    auto entry = std::make_unique<KSEVENT_ENTRY>();
    NTSTATUS status = ReferenceUserEvent(data.EventHandle.Event, &entry->eventObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    entry->port = port;
    entry->set = header.Set;
    entry->id = header.Id;
    entry->pinId = pin;
    entry->nodeId = node;
    entry->item = item;
    entry->event = static_cast<PRKEVENT>(entry->eventObject->Body());
    entry->userData = irp->UserBuffer;
    call.EventEntry = entry.get();
    if (item->Handler == nullptr) {
        port->AddEventToEventList(entry.get());
    } else {
        status = item->Handler(&call);
    }
    if (!NT_SUCCESS(status)) {
        port->RemoveEvent(entry.get());
        return status;
    }
    events.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

void FilterFile::Disable(PKSEVENT_ENTRY entry) {
    port->RemoveEvent(entry);
    if (entry->item->Handler != nullptr && port->IsBound()) {
        PCEVENT_REQUEST call{port->MajorTarget(), nullptr, entry->nodeId, entry->item, entry,
                             PCEVENT_VERB_REMOVE, nullptr};
        entry->item->Handler(&call);
    }
}

NTSTATUS FilterFile::DisableEvent(PIRP irp) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const ULONG inputLength = parameters.InputBufferLength;
    // No data: every event of the file.
    if (inputLength == 0) {
        for (auto& entry : events) {
            Disable(entry.get());
        }
        events.clear();
        return STATUS_SUCCESS;
    }
    if (inputLength < sizeof(KSEVENTDATA) || parameters.Type3InputBuffer == nullptr) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    for (auto it = events.begin(); it != events.end(); ++it) {
        if ((*it)->userData == parameters.Type3InputBuffer) {
            Disable(it->get());
            events.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

void FilterFile::Close() {
    if (port == nullptr) {
        return;
    }
    for (auto& entry : events) {
        Disable(entry.get());
    }
    events.clear();
    PortBase* released = port;
    port = nullptr;
    released->Release();
}

} // namespace

NTSTATUS NewFilterFile(PortBase* port, PIRP irp, std::unique_ptr<PortClassFile>* file) {
    (void)irp;
    if (!port->IsBound()) {
        return STATUS_DEVICE_NOT_READY;
    }
    *file = std::make_unique<FilterFile>(port);
    return STATUS_SUCCESS;
}

} // namespace host
