// The COM base of every object of the driver: the non-delegating identity, the interlocked
// reference count and the outer unknown that the object's interfaces forward to. Objects start
// with a count of 0; their creator takes the first reference at once; the last Release deletes.
#pragma once

#include "platform/AudioHeaders.h"

class UnknownBase {
public:
    // The non-delegating identity: these three slots come first, so that the object's own
    // identity can be handed out as an IUnknown.
    virtual NTSTATUS NTAPI NonDelegatingQueryInterface(REFIID iid, PVOID* object);
    virtual ULONG NTAPI NonDelegatingAddRef();
    virtual ULONG NTAPI NonDelegatingRelease();
    virtual ~UnknownBase();

protected:
    // outer: the unknown to forward to, or null for the object's own identity.
    explicit UnknownBase(PUNKNOWN outer);

    PUNKNOWN OwnIdentity() { return reinterpret_cast<PUNKNOWN>(this); }

    LONG referenceCount;
    PUNKNOWN outerUnknown;
};

// The common tail of every NonDelegatingQueryInterface: writes the chosen interface (or null)
// and takes one reference on success.
NTSTATUS AnswerInterface(PUNKNOWN chosen, PVOID* object);

// QueryInterface, AddRef and Release of every interface of a class derived from UnknownBase:
// all forward to the outer unknown.
#define FORWARD_UNKNOWN_TO_OUTER                                                                   \
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {                   \
        return outerUnknown->QueryInterface(iid, object);                                          \
    }                                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override {                                                       \
        return outerUnknown->AddRef();                                                             \
    }                                                                                              \
    STDMETHODIMP_(ULONG) Release() override {                                                      \
        return outerUnknown->Release();                                                            \
    }
