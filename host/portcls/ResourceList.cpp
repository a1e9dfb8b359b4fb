// The resource list handed to an adapter's start routine. A device without hardware has no
// resources, so every lookup finds nothing; adding entries is refused.
#include <atomic>

#include "PortClass.h"

namespace {

class ResourceList : public IResourceList {
public:
    ResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
        : translated(translated), untranslated(untranslated) {}
    virtual ~ResourceList() = default;

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID* Interface) override {
        if (IsEqualGUID(InterfaceId, IID_IUnknown) || IsEqualGUID(InterfaceId, IID_IResourceList)) {
            AddRef();
            *Interface = static_cast<IResourceList*>(this);
            return STATUS_SUCCESS;
        }
        *Interface = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    STDMETHODIMP_(NTSTATUS)
    AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return translated; }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return untranslated; }

private:
    std::atomic<ULONG> references{1};
    PCM_RESOURCE_LIST translated;
    PCM_RESOURCE_LIST untranslated;
};

} // namespace

namespace host {

PRESOURCELIST NewResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated) {
    return new ResourceList(translated, untranslated);
}

} // namespace host
