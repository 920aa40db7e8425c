// The standard COM interfaces that OPC objects implement and call besides
// IUnknown: string and object enumerators, and connection points with their
// enumerators, in the system's method order and with the system's IIDs.
#pragma once

#include "platform/com.h"

struct IEnumString : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, LPOLESTR *items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumString **copy) = 0;

protected:
    ~IEnumString() = default;
};

struct IEnumUnknown : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, IUnknown **items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown **copy) = 0;

protected:
    ~IEnumUnknown() = default;
};

struct CONNECTDATA {
    IUnknown *pUnk;
    DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, CONNECTDATA *items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections **copy) = 0;

protected:
    ~IEnumConnections() = default;
};

struct IConnectionPointContainer;

struct IConnectionPoint : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID *iid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer **container) = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown *sink, DWORD *cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections **connections) = 0;

protected:
    ~IConnectionPoint() = default;
};

struct IEnumConnectionPoints : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, IConnectionPoint **items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints **copy) = 0;

protected:
    ~IEnumConnectionPoints() = default;
};

struct IConnectionPointContainer : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints **points) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint **point) = 0;

protected:
    ~IConnectionPointContainer() = default;
};

extern const IID IID_IEnumString;
extern const IID IID_IEnumUnknown;
extern const IID IID_IEnumConnections;
extern const IID IID_IConnectionPoint;
extern const IID IID_IEnumConnectionPoints;
extern const IID IID_IConnectionPointContainer;

#define CONNECT_E_NOCONNECTION (static_cast<HRESULT>(0x80040200L))
#define CONNECT_E_ADVISELIMIT (static_cast<HRESULT>(0x80040201L))
#define CONNECT_E_CANNOTCONNECT (static_cast<HRESULT>(0x80040202L))
