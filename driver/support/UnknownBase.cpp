// Reference counting and identity of the driver's COM objects.
#include "support/UnknownBase.h"

#include "support/Memory.h"

UnknownBase::UnknownBase(PUNKNOWN outer)
    : referenceCount(0), outerUnknown(outer != nullptr ? outer : OwnIdentity()) {}

UnknownBase::~UnknownBase() {}

NTSTATUS NTAPI UnknownBase::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    return AnswerInterface(IsEqualGUID(iid, IID_IUnknown) ? OwnIdentity() : nullptr, object);
}

ULONG NTAPI UnknownBase::NonDelegatingAddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&referenceCount));
}

ULONG NTAPI UnknownBase::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&referenceCount);
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

NTSTATUS AnswerInterface(PUNKNOWN chosen, PVOID* object) {
    *object = chosen;
    if (chosen == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    chosen->AddRef();
    return STATUS_SUCCESS;
}
