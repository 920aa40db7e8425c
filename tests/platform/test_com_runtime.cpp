#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fake_class_object.h"
#include "platform/com.h"

namespace {

class ComRuntime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(ComRuntime, InitialisationIsCountedPerThread) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);

    HRESULT other = E_FAIL;
    HRESULT again = E_FAIL;
    std::thread([&] {
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);
    EXPECT_EQ(again, S_FALSE);
}

TEST_F(ComRuntime, RegisteredClassObjectIsFoundQueriedAndRevoked) {
    FakeClassObject factory;
    const CLSID clsid = TestClass(1);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(factory.references.load(), 1);

    void *found = nullptr;
    ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, &found), S_OK);
    EXPECT_EQ(found, static_cast<IClassFactory *>(&factory));
    static_cast<IClassFactory *>(found)->Release();

    // Asked for an interface the object lacks: its own answer comes back.
    const IID missing = TestClass(0xEE);
    found = &factory;
    EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, missing, &found), E_NOINTERFACE);
    EXPECT_EQ(found, nullptr);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.references.load(), 1);
    // Windows (Wine) answers E_INVALIDARG, our runtime CO_E_OBJNOTREG: a failure either way.
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));
    EXPECT_EQ(factory.references.load(), 1);
    EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(found, nullptr);
}

TEST_F(ComRuntime, ConcurrentRegistrationsKeepTheTableConsistent) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    FakeClassObject factory;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const CLSID clsid = TestClass(static_cast<BYTE>(0x10 + t));
            for (int round = 0; round < kRounds; ++round) {
                DWORD cookie = 0;
                void *found = nullptr;
                if (CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie) != S_OK ||
                    CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found) != S_OK ||
                    found != static_cast<IUnknown *>(&factory)) {
                    ++failures[t];
                }
                if (found != nullptr) static_cast<IUnknown *>(found)->Release();
                if (CoRevokeClassObject(cookie) != S_OK) ++failures[t];
            }
            if (SUCCEEDED(init)) CoUninitialize();
        });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(factory.references.load(), 1);
}

// Last in this file: on Windows a process count back at zero suspends the class objects.
TEST_F(ComRuntime, ServerProcessCountReturnsTheNewCount) {
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoAddRefServerProcess(), 2u);
    EXPECT_EQ(CoReleaseServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
}

}  // namespace
