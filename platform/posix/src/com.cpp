#include "platform/com.h"
#include "platform/com_remote.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

struct ClassEntry {
    DWORD cookie;
    CLSID clsid;
    IUnknown *object;
    DWORD context;
    DWORD flags;
    bool used;  // a single-use object is handed out once
};

// Process-wide runtime state. Never destroyed: a class object may still be
// revoked or released from another static object's destructor at exit.
struct Runtime {
    std::mutex lock;
    std::vector<ClassEntry> classes;
    DWORD nextCookie = 1;
    ULONG initializedThreads = 0;
};

Runtime &TheRuntime() {
    static Runtime *runtime = new Runtime;
    return *runtime;
}

std::atomic<ULONG> serverProcessCount{0};
std::atomic<const ComRemoteLayer *> remoteLayer{nullptr};

struct ThreadInit {
    ULONG count = 0;
    DWORD mode = COINIT_MULTITHREADED;
};
thread_local ThreadInit threadInit;
thread_local const wchar_t *callerIdentity = nullptr;

// A process that COM started for a client has "-Embedding" on its command
// line (or "/Embedding"; any case, as COM reads it).
bool StartedForActivation() {
    std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
    std::string word;
    while (std::getline(commandLine, word, '\0')) {
        if (word.size() != 10 || (word[0] != '-' && word[0] != '/')) continue;
        std::string lower;
        for (const char c : word.substr(1)) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "embedding") return true;
    }
    return false;
}

bool Initialized(Runtime &runtime) {
    return runtime.initializedThreads > 0;
}

// Releases every class object: the runtime went down without revoking them.
void RevokeAll(Runtime &runtime, std::unique_lock<std::mutex> &held) {
    std::vector<ClassEntry> gone;
    gone.swap(runtime.classes);
    held.unlock();
    const ComRemoteLayer *layer = remoteLayer.load();
    for (const ClassEntry &entry : gone) {
        if (layer != nullptr && (entry.context & CLSCTX_LOCAL_SERVER) != 0) layer->withdraw(entry.cookie);
        entry.object->Release();
    }
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    const DWORD mode = coInit & COINIT_APARTMENTTHREADED;
    if (threadInit.count > 0) {
        if (threadInit.mode != mode) return RPC_E_CHANGED_MODE;
        ++threadInit.count;
        return S_FALSE;
    }
    Runtime &runtime = TheRuntime();
    std::lock_guard<std::mutex> held(runtime.lock);
    threadInit.count = 1;
    threadInit.mode = mode;
    ++runtime.initializedThreads;
    return S_OK;
}

void CoUninitialize() {
    if (threadInit.count == 0) return;
    if (--threadInit.count > 0) return;
    Runtime &runtime = TheRuntime();
    std::unique_lock<std::mutex> held(runtime.lock);
    if (--runtime.initializedThreads == 0 && !runtime.classes.empty()) RevokeAll(runtime, held);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown *object, DWORD context, DWORD flags, DWORD *cookie) {
    if (cookie == nullptr) return E_INVALIDARG;
    *cookie = 0;
    if (object == nullptr || context == 0) return E_INVALIDARG;
    Runtime &runtime = TheRuntime();
    std::unique_lock<std::mutex> held(runtime.lock);
    if (!Initialized(runtime)) return CO_E_NOTINITIALIZED;
    const DWORD assigned = runtime.nextCookie;
    try {
        runtime.classes.push_back(ClassEntry{assigned, clsid, object, context, flags, false});
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
    if (++runtime.nextCookie == 0) runtime.nextCookie = 1;
    object->AddRef();
    *cookie = assigned;
    held.unlock();  // the layer may call back into the runtime
    const ComRemoteLayer *layer = remoteLayer.load();
    if (layer == nullptr || (context & CLSCTX_LOCAL_SERVER) == 0) return S_OK;
    const HRESULT published = layer->publish(clsid, object, assigned);
    // A server started for its clients is of no use if they cannot reach it:
    // the registration fails and the server ends. Started by hand, it still
    // serves this process (the layer has said that others cannot reach it).
    if (SUCCEEDED(published) || !StartedForActivation()) return S_OK;
    CoRevokeClassObject(assigned);
    *cookie = 0;
    return published;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    Runtime &runtime = TheRuntime();
    IUnknown *object = nullptr;
    DWORD context = 0;
    {
        std::lock_guard<std::mutex> held(runtime.lock);
        for (auto it = runtime.classes.begin(); it != runtime.classes.end(); ++it) {
            if (it->cookie == cookie) {
                object = it->object;
                context = it->context;
                runtime.classes.erase(it);
                break;
            }
        }
    }
    if (object == nullptr) return CO_E_OBJNOTREG;
    const ComRemoteLayer *layer = remoteLayer.load();
    if (layer != nullptr && (context & CLSCTX_LOCAL_SERVER) != 0) layer->withdraw(cookie);
    // Released outside the table's lock: the object may call back into the runtime.
    object->Release();
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, LPVOID, REFIID riid, LPVOID *object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    Runtime &runtime = TheRuntime();
    IUnknown *found = nullptr;
    {
        std::lock_guard<std::mutex> held(runtime.lock);
        if (!Initialized(runtime)) return CO_E_NOTINITIALIZED;
        for (auto it = runtime.classes.rbegin(); it != runtime.classes.rend(); ++it) {
            if (!IsEqualGUID(it->clsid, clsid) || (it->context & context) == 0) continue;
            if (it->flags == REGCLS_SINGLEUSE && it->used) continue;
            it->used = true;
            found = it->object;
            // Held across the query so that a concurrent revocation cannot free it.
            found->AddRef();
            break;
        }
    }
    if (found == nullptr) return REGDB_E_CLASSNOTREG;
    const HRESULT result = found->QueryInterface(riid, object);
    found->Release();
    return result;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid, LPVOID *object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    IClassFactory *factory = nullptr;
    HRESULT result = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void **>(&factory));
    if (SUCCEEDED(result)) {
        result = factory->CreateInstance(outer, riid, object);
        factory->Release();
        return result;
    }
    const ComRemoteLayer *layer = remoteLayer.load();
    if (result != REGDB_E_CLASSNOTREG || layer == nullptr || (context & CLSCTX_LOCAL_SERVER) == 0) return result;
    // An object of another process cannot be a part of one of ours.
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return layer->activate(clsid, riid, object);
}

HRESULT CoDisconnectObject(IUnknown *object, DWORD) {
    if (object == nullptr) return E_INVALIDARG;
    const ComRemoteLayer *layer = remoteLayer.load();
    return layer != nullptr ? layer->disconnect(object) : S_OK;
}

void com_InstallRemoteLayer(const ComRemoteLayer *layer) {
    remoteLayer.store(layer);
}

ULONG CoAddRefServerProcess() {
    return ++serverProcessCount;
}

ULONG CoReleaseServerProcess() {
    ULONG count = serverProcessCount.load();
    // An unbalanced release stays at zero instead of wrapping around.
    while (count > 0 && !serverProcessCount.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? count - 1 : 0;
}

HRESULT CoQueryClientBlanket(DWORD *, DWORD *, OLECHAR **, DWORD *, DWORD *, RPC_AUTHZ_HANDLE *privileges, DWORD *) {
    if (callerIdentity == nullptr) return RPC_E_CALL_COMPLETE;
    if (privileges != nullptr) *privileges = const_cast<wchar_t *>(callerIdentity);
    return S_OK;
}

void com_SetCallerIdentity(const wchar_t *user) {
    callerIdentity = user;
}

LPVOID CoTaskMemAlloc(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

LPVOID CoTaskMemRealloc(LPVOID block, std::size_t size) {
    return std::realloc(block, size == 0 ? 1 : size);
}

void CoTaskMemFree(LPVOID block) {
    std::free(block);
}
