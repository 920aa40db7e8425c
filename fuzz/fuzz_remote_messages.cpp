// What a client process may send after its hello, over arbitrary input: the
// server's reading of messages, its bounds on every field, and the calls it
// makes on the toolkit's objects with what it read. An activation goes first,
// so that object 1 is a server object; the input may add groups, items and
// sinks from there. The server's answers are read and dropped.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <thread>

#include "lightopc.h"
#include "opc_da.h"
#include "server_connection.h"
#include "socket_io.h"

namespace {

loService *TheService() {
    static loService *service = [] {
        loDriver driver{};
        driver.ldRefreshRate = 50;
        loService *made = nullptr;
        if (loServiceCreate(&made, &driver, 8) != 0) __builtin_trap();
        for (const char *name : {"Pump1", "Tank.Level", "Valve"}) {
            VARIANT zero;
            VariantInit(&zero);
            V_VT(&zero) = VT_I2;
            loTagId id = 0;
            loAddRealTag(made, &id, nullptr, name, 0, 1, &zero, 0, nullptr);
        }
        return made;
    }();
    return service;
}

void Finished(void *, loService *, loClient *) {}

struct Factory final : IClassFactory {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
        static const loVendorInfo vendor = {1, 0, 0, 0, "fuzz"};
        loClient *client = nullptr;
        IUnknown *inner = nullptr;
        if (loClientCreate_agg(TheService(), &client, nullptr, &inner, 0, &vendor, Finished, nullptr) != 0)
            return E_OUTOFMEMORY;
        const HRESULT result = client->QueryInterface(riid, object);
        client->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Factory factory;
    static const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    (void)initialized;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    std::thread client([&] {
        comremote::Writer activation(comremote::kActivate, 1, 0);
        activation.Guid(IID_IOPCServer);
        const std::vector<std::uint8_t> first = activation.Finish();
        comremote::WriteFully(pair[1], first.data(), first.size());
        comremote::WriteFully(pair[1], data, size);
        shutdown(pair[1], SHUT_WR);
        std::uint8_t discard[4096];
        while (recv(pair[1], discard, sizeof discard, 0) > 0) {
        }
    });
    {
        comremote::ServerConnection connection(pair[0], &factory, L"fuzz");
        connection.Serve();
    }  // closes its end, which ends the client's reading
    client.join();
    close(pair[1]);
    return 0;
}
