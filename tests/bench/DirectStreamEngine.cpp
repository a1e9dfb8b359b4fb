// The engine side without a pin: the miniport's stream created and driven through its own
// interfaces, behind a stand-in for the port's stream object, as the port-class library would.
#include <ntddk.h>

#include <cstdio>
#include <string>

#include "EngineSide.h"
#include "audio/MiniportWaveRT.h"
#include "audio/MiniportWaveRTStream.h"
#include "kernel/Process.h"
#include "support/DataFormat.h"
#include "support/WaveFormat.h"
#include "transport/TransportChannel.h"

namespace bench {

namespace {

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

// The port's stream object as the miniport sees it: it only counts references; the miniport
// maps the shared buffer itself.
class PortStreamStandIn : public IPortWaveRTStream {
public:
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS, SIZE_T) override { return nullptr; }
    STDMETHODIMP_(PMDL)
    AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, SIZE_T) override {
        return nullptr;
    }
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL, MEMORY_CACHING_TYPE) override { return nullptr; }
    STDMETHODIMP_(void) UnmapAllocatedPages(PVOID, PMDL) override {}
    STDMETHODIMP_(void) FreePagesFromMdl(PMDL) override {}
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL) override { return 0; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL, ULONG) override {
        PHYSICAL_ADDRESS none;
        none.QuadPart = 0;
        return none;
    }
    LONG references = 0;
};

class DirectStreamEngine : public EngineSide {
public:
    DirectStreamEngine(host::Process& engineProcess, TransportChannel& channel)
        : process_(engineProcess), channel_(channel) {}
    ~DirectStreamEngine() override {
        std::string ignored;
        Close(&ignored);
    }

    std::string Describe() const override {
        return "direct calls to the miniport's stream behind a stand-in for the port";
    }

    bool Open(std::uint32_t framesPerPeriod, HANDLE notifyEvent, std::string* error) override {
        WAVEFORMATEXTENSIBLE record{};
        if (!BuildWaveFormat(&record, 48000, 16, 2, 2, AnyChannelMask, FALSE, FALSE)) {
            *error = "cannot build the stream format";
            return false;
        }
        unsigned char block[DataFormatBlockBytes] = {};
        BuildKsDataFormat(&record, block);
        NTSTATUS status = channel_.waveMiniport->NewStream(&stream_, &portStream_, 0, FALSE,
                                                           reinterpret_cast<PKSDATAFORMAT>(block));
        if (!NT_SUCCESS(status)) {
            *error = "stream creation failed: " + Hex(status);
            stream_ = nullptr;
            return false;
        }
        PMINIPORTWAVERTSTREAMNOTIFICATION notification = Notification();
        ULONG offset = 0;
        MEMORY_CACHING_TYPE caching = MmCached;
        const ULONG bytes = 2 * framesPerPeriod * record.Format.nBlockAlign;
        status = notification->AllocateBufferWithNotification(2, bytes, &mdl_, &bufferBytes_,
                                                              &offset, &caching);
        if (!NT_SUCCESS(status)) {
            *error = "buffer allocation failed: " + Hex(status);
            return false;
        }
        {
            host::ProcessScope scope(&process_);
            PVOID object = nullptr;
            status = ObReferenceObjectByHandle(notifyEvent, EVENT_MODIFY_STATE, *ExEventObjectType,
                                               UserMode, &object, nullptr);
            event_ = static_cast<PKEVENT>(object);
        }
        if (!NT_SUCCESS(status)) {
            *error = "cannot reference the engine's event: " + Hex(status);
            event_ = nullptr;
            return false;
        }
        status = notification->RegisterNotificationEvent(event_);
        if (!NT_SUCCESS(status)) {
            *error = "event registration failed: " + Hex(status);
            return false;
        }
        registered_ = true;
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            status = SetState(state);
            if (!NT_SUCCESS(status)) {
                *error = "state change to " + std::to_string(state) + " failed: " + Hex(status);
                return false;
            }
        }
        return true;
    }

    NTSTATUS SetState(KSSTATE state) override {
        NTSTATUS status = stream_->SetState(state);
        if (NT_SUCCESS(status)) {
            state_ = state;
        }
        return status;
    }

    bool Close(std::string* error) override {
        if (stream_ == nullptr) {
            return true;
        }
        bool good = true;
        while (state_ != KSSTATE_STOP) {
            KSSTATE lower = static_cast<KSSTATE>(state_ - 1);
            NTSTATUS status = SetState(lower);
            if (!NT_SUCCESS(status)) {
                *error = "state change to " + std::to_string(lower) + " failed: " + Hex(status);
                good = false;
                break;
            }
        }
        if (registered_) {
            Notification()->UnregisterNotificationEvent(event_);
            registered_ = false;
        }
        if (event_ != nullptr) {
            ObDereferenceObject(event_);
            event_ = nullptr;
        }
        if (mdl_ != nullptr) {
            Notification()->FreeBufferWithNotification(mdl_, bufferBytes_);
            mdl_ = nullptr;
        }
        // The driver walks a stream released while running down to stop itself.
        stream_->Release();
        stream_ = nullptr;
        state_ = KSSTATE_STOP;
        return good;
    }

private:
    PMINIPORTWAVERTSTREAMNOTIFICATION Notification() {
        return CMiniportWaveRTStream::FromPrimary(stream_);
    }

    host::Process& process_;
    TransportChannel& channel_;
    PortStreamStandIn portStream_;
    PMINIPORTWAVERTSTREAM stream_ = nullptr;
    PMDL mdl_ = nullptr;
    ULONG bufferBytes_ = 0;
    PKEVENT event_ = nullptr;
    bool registered_ = false;
    KSSTATE state_ = KSSTATE_STOP;
};

} // namespace

std::unique_ptr<EngineSide> MakeDirectStreamEngine(host::Process& engineProcess,
                                                   TransportChannel& channel) {
    return std::make_unique<DirectStreamEngine>(engineProcess, channel);
}

} // namespace bench
