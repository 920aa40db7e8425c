#include "class_factory.h"

#include <cstdio>

#include "driver.h"
#include "entry_flags.h"
#include "log_handle.h"
#include "process_objects.h"
#include "session_name.h"

std::atomic<LONG> client_counter{0};

const loVendorInfo kVendorInfo = {1, 0, 0, 0, "Brisvale OPC Server"};

namespace {
constexpr const wchar_t *kUnknownUser = L"{unknown}";
constexpr const wchar_t *kNoSessionName = L"<null>";

// The user COM authenticated for the current call, if it tells.
const wchar_t *caller_identity() {
    RPC_AUTHZ_HANDLE privileges = nullptr;
    CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr);
    return privileges != nullptr ? static_cast<const wchar_t *>(privileges) : kUnknownUser;
}

// Gives the new client object to the caller: the inner unknown when
// aggregated, otherwise the requested interface of the object.
HRESULT hand_out(loClient *client, IUnknown *outer, IUnknown *inner, REFIID riid, void **object) {
    if (outer != nullptr) {
        *object = inner;
        return S_OK;
    }
    const HRESULT result = client->QueryInterface(riid, object);
    // Creation's own reference; on a failed query this is the last one and
    // the session ends through a_server_finished.
    client->Release();
    if (FAILED(result)) unilog_MESSAGE(log_handle, 0, "myClassFactory::loClient QueryInterface() failed");
    return result;
}
}  // namespace

HRESULT myClassFactory::QueryInterface(REFIID riid, void **object) {
    if (object == nullptr) return E_INVALIDARG;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        unilog_DEBUG(log_handle, 0, "myClassFactory::QueryInterface() Ok");
        *object = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    unilog_DEBUG(log_handle, 0, "myClassFactory::QueryInterface() Failed");
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG myClassFactory::AddRef() {
    return 1;
}

ULONG myClassFactory::Release() {
    return 1;
}

HRESULT myClassFactory::CreateInstance(IUnknown *outer, REFIID riid, void **object) {
    const LONG client_number = ++client_counter;
    const wchar_t *user = caller_identity();
    unilog_MESSAGE(log_handle, 0, "USER:#%ld <%ls>", static_cast<long>(client_number), user);
    if (use_console == 1) {
        std::printf("+Attaching a client #%ld. USERID: <%ls>\n", static_cast<long>(client_number), user);
    }
    wchar_t *session_name = make_session_name(client_number, user);

    if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown)) {
        free_session_name(session_name);
        return CLASS_E_NOAGGREGATION;
    }
    // Nowhere to put a client object: refuse before any reference is taken.
    if (object == nullptr) {
        free_session_name(session_name);
        return E_POINTER;
    }

    server_addref();
    if (server_running == 0) {
        unilog_MESSAGE(log_handle, 0, "myClassFactory:: Server already finished");
        server_release();
        free_session_name(session_name);
        return E_FAIL;
    }

    loClient *client = nullptr;
    IUnknown *inner = nullptr;
    if (loClientCreate_agg(service_handle, &client, outer, &inner, 0, &kVendorInfo, a_server_finished, session_name) !=
        0) {
        server_release();
        unilog_MESSAGE(log_handle, 0, "myClassFactory::loClientCreate_agg() failed");
        free_session_name(session_name);
        return E_OUTOFMEMORY;
    }
    // From here the session name belongs to the client object.

    const HRESULT result = hand_out(client, outer, inner, riid, object);
    if (FAILED(result)) return result;

    loSetState(service_handle, client, 1, 1, "Finished by client");
    unilog_DEBUG(log_handle, 0, "myClassFactory::server_count = %ld", static_cast<long>(server_count));
    return result;
}

HRESULT myClassFactory::LockServer(BOOL lock) {
    unilog_DEBUG(log_handle, 0, "myClassFactory::LockServer(%d)", static_cast<int>(lock));
    if (lock) {
        server_addref();
    } else {
        server_release();
    }
    return S_OK;
}

void a_server_finished(void *session_name, loService *, loClient *) {
    unilog_DEBUG(log_handle, 0, "a_server_finished(%lu)...", static_cast<unsigned long>(server_factory.server_count));
    server_factory.server_release();
    wchar_t *name = static_cast<wchar_t *>(session_name);
    const wchar_t *shown = name != nullptr ? name : kNoSessionName;
    unilog_INFO(log_handle, 0, "a_server_finished(%lu) USERID=<%ls>",
                static_cast<unsigned long>(server_factory.server_count), shown);
    if (use_console == 1) std::printf("-Detaching a client. USERID: <%ls>\n", shown);
    free_session_name(name);
}
