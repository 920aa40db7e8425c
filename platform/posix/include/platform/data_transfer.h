// OLE's uniform data transfer, for the Linux build, as far as an object that
// sends data to advised sinks needs it: global memory blocks, named clipboard
// formats, FORMATETC and STGMEDIUM, IDataObject and IAdviseSink in the
// system's method order and with the system's IIDs. In process only: nothing
// here crosses a process boundary.
#pragma once

#include <cstddef>

#include "platform/com_interfaces.h"

using HGLOBAL = void *;
using CLIPFORMAT = WORD;

// Global memory: a block of bytes with its size. Lock gives its address (the
// block never moves), Unlock and Lock may nest; Free gives null on success.
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
HGLOBAL GlobalAlloc(UINT flags, std::size_t bytes);
LPVOID GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
std::size_t GlobalSize(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);

// The same name (in any letter case) gives the same number, 0xC000 and up, for
// the life of the process; 0 for an empty or null name.
UINT RegisterClipboardFormatW(LPCWSTR name);

struct DVTARGETDEVICE;
struct IMoniker;
struct IStream;
struct IStorage;

enum TYMED : DWORD {
    TYMED_NULL = 0,
    TYMED_HGLOBAL = 1,
    TYMED_FILE = 2,
    TYMED_ISTREAM = 4,
    TYMED_ISTORAGE = 8,
    TYMED_GDI = 16,
    TYMED_MFPICT = 32,
    TYMED_ENHMF = 64
};
enum DVASPECT : DWORD { DVASPECT_CONTENT = 1, DVASPECT_THUMBNAIL = 2, DVASPECT_ICON = 4, DVASPECT_DOCPRINT = 8 };
enum ADVF : DWORD { ADVF_NODATA = 1, ADVF_PRIMEFIRST = 2, ADVF_ONLYONCE = 4, ADVF_DATAONSTOP = 64 };

struct FORMATETC {
    CLIPFORMAT cfFormat;
    DVTARGETDEVICE *ptd;
    DWORD dwAspect;
    LONG lindex;
    DWORD tymed;
};

struct STGMEDIUM {
    DWORD tymed;
    union {
        HGLOBAL hGlobal;
        LPOLESTR lpszFileName;
        IStream *pstm;
        IStorage *pstg;
    };
    IUnknown *pUnkForRelease;
};

// Frees what the medium holds (here: its global memory block) unless
// pUnkForRelease owns it, which is released instead.
void ReleaseStgMedium(STGMEDIUM *medium);

struct STATDATA {
    FORMATETC formatetc;
    DWORD advf;
    struct IAdviseSink *pAdvSink;
    DWORD dwConnection;
};

struct IEnumFORMATETC : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, FORMATETC *items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC **copy) = 0;

protected:
    ~IEnumFORMATETC() = default;
};

struct IEnumSTATDATA : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, STATDATA *items, ULONG *fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATDATA **copy) = 0;

protected:
    ~IEnumSTATDATA() = default;
};

struct IAdviseSink : IUnknown {
    virtual void STDMETHODCALLTYPE OnDataChange(FORMATETC *format, STGMEDIUM *medium) = 0;
    virtual void STDMETHODCALLTYPE OnViewChange(DWORD aspect, LONG index) = 0;
    virtual void STDMETHODCALLTYPE OnRename(IMoniker *moniker) = 0;
    virtual void STDMETHODCALLTYPE OnSave() = 0;
    virtual void STDMETHODCALLTYPE OnClose() = 0;

protected:
    ~IAdviseSink() = default;
};

struct IDataObject : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetData(FORMATETC *format, STGMEDIUM *medium) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC *format, STGMEDIUM *medium) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC *format) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC *format, FORMATETC *canonical) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetData(FORMATETC *format, STGMEDIUM *medium, BOOL release) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC **formats) = 0;
    virtual HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC *format, DWORD advf, IAdviseSink *sink, DWORD *connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA **advises) = 0;

protected:
    ~IDataObject() = default;
};

extern const IID IID_IDataObject;
extern const IID IID_IAdviseSink;

#define OLE_E_ADVISENOTSUPPORTED (static_cast<HRESULT>(0x80040003L))
#define OLE_E_NOCONNECTION (static_cast<HRESULT>(0x80040004L))
#define DV_E_FORMATETC (static_cast<HRESULT>(0x80040064L))
#define DV_E_LINDEX (static_cast<HRESULT>(0x80040068L))
#define DV_E_TYMED (static_cast<HRESULT>(0x80040069L))
#define DV_E_DVASPECT (static_cast<HRESULT>(0x8004006BL))
