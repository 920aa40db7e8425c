// The COM class object of the server. One static instance lives for the whole
// process; COM never creates or deletes it. Besides making client objects it
// keeps the server-reference accounting that decides whether the server still
// accepts clients.
#pragma once

#include <atomic>

#include "lightopc.h"
#include "platform/com.h"
#include "platform/sync.h"

class myClassFactory : public IClassFactory {
public:
    // Cleared when the references run out, never set again after that.
    std::atomic<LONG> server_running{0};
    // The server's own reference, one per client session, one per client lock.
    std::atomic<LONG> server_count{0};
    // Guards the two above together with COM's process reference count.
    CRITICAL_SECTION server_lock;

    myClassFactory();
    ~myClassFactory();
    myClassFactory(const myClassFactory &) = delete;
    myClassFactory &operator=(const myClassFactory &) = delete;

    void server_addref();
    // May end the server: when COM's process count or server_count drops to 0.
    void server_release();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    // The object is static: both always return 1 and change nothing.
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

// Numbers the CreateInstance calls, refused ones included; the first is 1.
extern std::atomic<LONG> client_counter;

// Handed to the toolkit with every client object.
extern const loVendorInfo kVendorInfo;

// Called by the toolkit when a client object is finally released; the argument
// is the session name made for it (or null), which this call frees.
void a_server_finished(void *session_name, loService *service, loClient *client);
