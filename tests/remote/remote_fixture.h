// The toolkit's test service published for other processes from this one,
// and clients that reach it through the socket as another process would: the
// calls cross the same protocol, stubs and proxies in both directions.
#pragma once

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "../lightopc/opc_client.h"
#include "activation.h"

namespace remote_test {

using namespace opc_test;

inline CLSID TestClass() {
    return CLSID{0x5A1C0DE5, 0x7E57, 0x4C0D, {0x9A, 0x11, 0x0B, 0x5E, 0x77, 0x00, 0x01, 0x01}};
}

class RemoteTest : public OpcTest {
protected:
    // Makes server objects as the server's class factory does, and notes for
    // whom and on which thread.
    struct Factory final : IClassFactory {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
            if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
            *object = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
            RPC_AUTHZ_HANDLE privileges = nullptr;
            if (CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr) == S_OK)
                user = static_cast<const wchar_t *>(privileges);
            onMainThread = std::this_thread::get_id() == mainThread;
            Ref<IOPCServer> server = test->Local();
            last = server.get();
            return server->QueryInterface(riid, object);
        }
        HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

        RemoteTest *test = nullptr;
        const std::thread::id mainThread = std::this_thread::get_id();
        std::wstring user;
        bool onMainThread = true;
        IUnknown *last = nullptr;
    };

    void SetUp() override {
        OpcTest::SetUp();
        char folder[] = "/tmp/brisvale-remote-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        registry = folder;
        setenv("BRISVALE_COM_REGISTRY", folder, 1);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        factory.test = this;
        factory.last = nullptr;
        factory.user.clear();
        ASSERT_EQ(CoRegisterClassObject(TestClass(), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    }
    void TearDown() override {
        if (cookie != 0) CoRevokeClassObject(cookie);
        CoUninitialize();
        // Every client has gone: the service may go.
        EXPECT_TRUE(WaitFor([&] { return finished.load() == created(); })) << finished.load();
        OpcTest::TearDown();
        unsetenv("BRISVALE_COM_REGISTRY");
        std::filesystem::remove_all(registry);
    }

    int created() const { return createdCount.load(); }

    // A server object made in this process (counted, so that the end of the
    // test can wait for every one to finish).
    Ref<IOPCServer> Local() {
        ++createdCount;
        return Connect();
    }

    // A server object reached across the socket.
    Ref<IOPCServer> Remote(HRESULT expected = S_OK) {
        void *object = nullptr;
        EXPECT_EQ(comremote::ActivateRemote(TestClass(), IID_IOPCServer, &object), expected);
        return Ref<IOPCServer>(static_cast<IOPCServer *>(object));
    }

    // What a client reads of the server's status, its task memory freed.
    struct Status {
        HRESULT result = E_FAIL;
        DWORD state = 0;
        DWORD groups = 0;
        std::string vendor;
    };
    static Status StatusOf(IOPCServer *server) {
        OPCSERVERSTATUS *status = nullptr;
        Status seen;
        seen.result = server->GetStatus(&status);
        if (status == nullptr) return seen;
        EXPECT_TRUE(SUCCEEDED(seen.result)) << "a status with a failure";
        seen.state = status->dwServerState;
        seen.groups = status->dwGroupCount;
        seen.vendor = Narrow(status->szVendorInfo);
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        return seen;
    }

    static std::wstring OwnUser() {
        struct passwd *entry = getpwuid(geteuid());
        std::wstring name;
        for (const char *c = entry->pw_name; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
        return name;
    }

    // Connection threads may still let go of it after a test has ended.
    static Factory &TheFactory() {
        static Factory *made = new Factory;
        return *made;
    }
    Factory &factory = TheFactory();
    DWORD cookie = 0;
    std::string registry;
    std::atomic<int> createdCount{0};
};

}  // namespace remote_test
