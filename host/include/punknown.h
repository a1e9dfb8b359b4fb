// The kernel's IUnknown (QueryInterface returns an NTSTATUS) and the COM declaration macros
// that port-class drivers are written with.
#pragma once
#include "wdm.h"

typedef LONG HRESULT;

#define STDMETHODCALLTYPE WINDOWS_X64_CALL
#define STDMETHODVCALLTYPE WINDOWS_X64_CALL
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) struct DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) struct DECLSPEC_NOVTABLE iface : public baseiface

DECLARE_INTERFACE(IUnknown) {
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};
typedef IUnknown* PUNKNOWN;

// Creates an object with an optional outer unknown, as PcNewPort and friends are typed.
typedef HRESULT(NTAPI* PFNCREATEINSTANCE)(PUNKNOWN* Unknown, REFCLSID ClassId,
                                          PUNKNOWN OuterUnknown, POOL_TYPE PoolType);
