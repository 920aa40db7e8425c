// The COM runtime subset the server uses, for the Linux build: GUIDs, the
// IUnknown and IClassFactory interfaces, HRESULTs, and the runtime calls with
// their meaning inside one process (a class-object table, a process reference
// count, the caller's identity where it is known).
#pragma once

#include <cstring>

#include "platform/win_types.h"

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID &;
using REFCLSID = const CLSID &;
using REFGUID = const GUID &;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

#define S_OK (static_cast<HRESULT>(0x00000000L))
#define S_FALSE (static_cast<HRESULT>(0x00000001L))
#define E_NOTIMPL (static_cast<HRESULT>(0x80004001L))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002L))
#define E_POINTER (static_cast<HRESULT>(0x80004003L))
#define E_FAIL (static_cast<HRESULT>(0x80004005L))
#define E_UNEXPECTED (static_cast<HRESULT>(0x8000FFFFL))
#define E_ACCESSDENIED (static_cast<HRESULT>(0x80070005L))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000EL))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057L))
#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110L))
#define CLASS_E_CLASSNOTAVAILABLE (static_cast<HRESULT>(0x80040111L))
#define REGDB_E_CLASSNOTREG (static_cast<HRESULT>(0x80040154L))
#define CO_E_NOTINITIALIZED (static_cast<HRESULT>(0x800401F0L))
#define CO_E_OBJISREG (static_cast<HRESULT>(0x800401FBL))
#define CO_E_OBJNOTREG (static_cast<HRESULT>(0x800401FCL))
#define RPC_E_CHANGED_MODE (static_cast<HRESULT>(0x80010106L))
#define RPC_E_CALL_COMPLETE (static_cast<HRESULT>(0x80010117L))
#define RPC_E_DISCONNECTED (static_cast<HRESULT>(0x80010108L))
#define RPC_E_SERVER_DIED (static_cast<HRESULT>(0x80010007L))
#define RPC_E_SERVER_DIED_DNE (static_cast<HRESULT>(0x80010012L))
#define CO_E_CLASSSTRING (static_cast<HRESULT>(0x800401F3L))
#define CO_E_OBJNOTCONNECTED (static_cast<HRESULT>(0x800401FDL))
#define CO_E_SERVER_EXEC_FAILURE (static_cast<HRESULT>(0x80080005L))
#define RPC_S_SERVER_UNAVAILABLE (static_cast<HRESULT>(0x800706BAL))
#define RPC_S_SERVER_TOO_BUSY (static_cast<HRESULT>(0x800706BBL))
#define HRESULT_NOT_ENOUGH_QUOTA (static_cast<HRESULT>(0x80070718L))  // ERROR_NOT_ENOUGH_QUOTA
#define RPC_S_CALL_FAILED (static_cast<HRESULT>(0x800706BEL))
#define RPC_S_CALL_FAILED_DNE (static_cast<HRESULT>(0x800706BFL))
#define RPC_S_SERVER_TOO_BUSY (static_cast<HRESULT>(0x800706BBL))
#define RPC_E_TIMEOUT (static_cast<HRESULT>(0x8001011FL))

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;

using RPC_AUTHZ_HANDLE = void *;

// The task allocator: what a callee allocates for its caller to free. A null
// block is freed as nothing; a zero size still gives a block.
LPVOID CoTaskMemAlloc(std::size_t size);
LPVOID CoTaskMemRealloc(LPVOID block, std::size_t size);
void CoTaskMemFree(LPVOID block);

// Counted per thread: S_OK the first time, S_FALSE after, RPC_E_CHANGED_MODE
// for another apartment model. Threads share one apartment, as in the MTA.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
// The last uninitialisation in the process releases the class objects that
// are still registered.
void CoUninitialize();

// The class-object table: one entry per registration; CoGetClassObject finds
// the latest registration of a class whose context matches. Registering and
// getting need COM initialised on some thread (CO_E_NOTINITIALIZED otherwise).
// A REGCLS_SINGLEUSE object is handed out once.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown *object, DWORD context, DWORD flags, DWORD *cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID serverInfo, REFIID riid, LPVOID *object);

// The process reference count of a COM local server. Both return the new
// count; a release at zero stays at zero. Class objects stay available at zero.
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();

// Only the privileges are ever known: the identity that the calling thread
// declared with com_SetCallerIdentity. Without one, the call fails and leaves
// every out-parameter untouched.
HRESULT CoQueryClientBlanket(DWORD *authnService, DWORD *authzService, OLECHAR **serverPrincipalName, DWORD *authnLevel,
                             DWORD *impLevel, RPC_AUTHZ_HANDLE *privileges, DWORD *capabilities);

// The class a ProgID names in the file registry that registration writes
// (BRISVALE_COM_REGISTRY, or the user's default folder); CO_E_CLASSSTRING for
// a ProgID that is not registered or cannot be one.
HRESULT CLSIDFromProgID(const OLECHAR *progId, CLSID *clsid);
// A new object of the class, through its class object's CreateInstance: one
// registered in this process first, then, for CLSCTX_LOCAL_SERVER, the
// server the registry names (started when none is running).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid, LPVOID *object);
// Releases every reference that clients in other processes hold on the object,
// as if they had released it; S_OK also when none are held.
HRESULT CoDisconnectObject(IUnknown *object, DWORD reserved);

// Linux only: an in-process client (a test, a tool) names the user it calls
// for; null forgets it. The text must outlive the calls made with it.
void com_SetCallerIdentity(const wchar_t *user);
