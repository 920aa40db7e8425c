// A client in a process of its own for the cross-process tests: reaches the
// server by ProgID as any client does, and prints what it saw, one line per
// fact. Usage: remote_probe PROGID status|read|hold|watch N
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "opc_da.h"

namespace {

std::u16string Ole(const char *text) {
    std::u16string wide;
    for (; *text != '\0'; ++text) wide += static_cast<char16_t>(static_cast<unsigned char>(*text));
    return wide;
}

std::string Narrow(const OLECHAR *text) {
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

std::string Shown(const VARIANT &value) {
    char text[64];
    switch (value.vt) {
        case VT_I2:
            std::snprintf(text, sizeof text, "i2:%d", value.iVal);
            return text;
        case VT_UI2:
            std::snprintf(text, sizeof text, "ui2:%u", value.uiVal);
            return text;
        case VT_I4:
            std::snprintf(text, sizeof text, "i4:%ld", static_cast<long>(value.lVal));
            return text;
        case VT_R8:
            std::snprintf(text, sizeof text, "r8:%g", value.dblVal);
            return text;
        case VT_BOOL:
            return value.boolVal != 0 ? "bool:true" : "bool:false";
        case VT_BSTR:
            return "bstr:" + Narrow(value.bstrVal);
        case VT_EMPTY:
            return "empty";
        default:
            std::snprintf(text, sizeof text, "vt%u", value.vt);
            return text;
    }
}

unsigned long long Ticks(const FILETIME &time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

int Fail(const char *what, HRESULT result) {
    std::printf("failed %s 0x%08X\n", what, static_cast<unsigned>(result));
    return 3;
}

class Sink final : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IOPCDataCallback *>(this);
        AddRef();
        return S_OK;
    }
    // Counted: the server may let go of its reference after Unadvise returns.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE *clients,
                                           VARIANT *values, WORD *qualities, FILETIME *, HRESULT *) override {
        std::lock_guard<std::mutex> held(lock);
        for (DWORD k = 0; k < count; ++k)
            std::printf("change %u %s q=%02X\n", clients[k], Shown(values[k]).c_str(), qualities[k]);
        std::fflush(stdout);
        ++changes;
        changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE *, VARIANT *, WORD *,
                                             FILETIME *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE *, HRESULT *) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    std::atomic<ULONG> references{1};
    std::mutex lock;
    std::condition_variable changed;
    int changes = 0;
};

// Adds every tag the server lists to a new group; their names in order.
HRESULT AddAll(IOPCServer *server, IOPCItemMgt **group, std::vector<OPCHANDLE> *handles,
               std::vector<std::string> *names) {
    IOPCBrowseServerAddressSpace *browse = nullptr;
    HRESULT result = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void **>(&browse));
    if (FAILED(result)) return result;
    IEnumString *strings = nullptr;
    result = browse->BrowseOPCItemIDs(OPC_FLAT, Ole("").c_str(), VT_EMPTY, 0, &strings);
    browse->Release();
    if (FAILED(result) || strings == nullptr) return FAILED(result) ? result : E_FAIL;
    std::vector<std::u16string> ids;
    LPOLESTR text = nullptr;
    ULONG fetched = 0;
    while (strings->Next(1, &text, &fetched) == S_OK && fetched == 1) {
        ids.emplace_back(text);
        names->push_back(Narrow(text));
        CoTaskMemFree(text);
    }
    strings->Release();
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    result = server->AddGroup(Ole("probe").c_str(), TRUE, 100, 1, nullptr, nullptr, 0x409, &groupHandle, &revised,
                              IID_IOPCItemMgt, reinterpret_cast<IUnknown **>(group));
    if (FAILED(result)) return result;
    std::vector<OPCITEMDEF> items(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k)
        items[k] = OPCITEMDEF{nullptr, &ids[k][0], TRUE, static_cast<OPCHANDLE>(k), 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT *results = nullptr;
    HRESULT *errors = nullptr;
    result = (*group)->AddItems(static_cast<DWORD>(items.size()), items.data(), &results, &errors);
    if (FAILED(result)) return result;
    for (std::size_t k = 0; k < ids.size(); ++k) handles->push_back(results[k].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return S_OK;
}

int Run(const char *progId, const std::string &command, int count) {
    CLSID clsid{};
    HRESULT result = CLSIDFromProgID(Ole(progId).c_str(), &clsid);
    if (FAILED(result)) return Fail("progid", result);
    IOPCServer *server = nullptr;
    result = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, reinterpret_cast<void **>(&server));
    if (FAILED(result)) return Fail("activation", result);
    std::printf("attached\n");
    std::fflush(stdout);
    OPCSERVERSTATUS *status = nullptr;
    result = server->GetStatus(&status);
    if (FAILED(result)) return Fail("status", result);
    std::printf("status state=%d groups=%u started=%llu vendor=%s\n", status->dwServerState, status->dwGroupCount,
                Ticks(status->ftStartTime), Narrow(status->szVendorInfo).c_str());
    std::fflush(stdout);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    if (command == "hold") {
        for (;;) pause();
    }
    if (command == "read" || command == "watch") {
        IOPCItemMgt *group = nullptr;
        std::vector<OPCHANDLE> handles;
        std::vector<std::string> names;
        result = AddAll(server, &group, &handles, &names);
        if (FAILED(result)) return Fail("items", result);
        if (command == "read") {
            IOPCSyncIO *io = nullptr;
            group->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void **>(&io));
            OPCITEMSTATE *states = nullptr;
            HRESULT *errors = nullptr;
            result = io->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
            if (FAILED(result)) return Fail("read", result);
            for (std::size_t k = 0; k < handles.size(); ++k) {
                std::printf("item %s %s q=%02X t=%llu\n", names[k].c_str(), Shown(states[k].vDataValue).c_str(),
                            states[k].wQuality, Ticks(states[k].ftTimeStamp));
                VariantClear(&states[k].vDataValue);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
            io->Release();
        } else {
            Sink *sink = new Sink;
            IConnectionPointContainer *container = nullptr;
            group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void **>(&container));
            IConnectionPoint *point = nullptr;
            result = container->FindConnectionPoint(IID_IOPCDataCallback, &point);
            container->Release();
            if (FAILED(result)) {
                sink->Release();
                return Fail("connection point", result);
            }
            DWORD cookie = 0;
            result = point->Advise(sink, &cookie);
            if (FAILED(result)) {
                sink->Release();
                return Fail("advise", result);
            }
            {
                std::unique_lock<std::mutex> held(sink->lock);
                sink->changed.wait_for(held, std::chrono::seconds(60), [&] { return sink->changes >= count; });
            }
            point->Unadvise(cookie);
            point->Release();
            sink->Release();
        }
        group->Release();
    }
    server->Release();
    std::printf("detached\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: remote_probe PROGID status|read|hold|watch N\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int code = Run(argv[1], argv[2], argc > 3 ? std::atoi(argv[3]) : 1);
    std::fflush(stdout);
    CoUninitialize();
    return code;
}
