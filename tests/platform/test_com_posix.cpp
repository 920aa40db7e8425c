#include <gtest/gtest.h>

#include <thread>

#include "fake_class_object.h"
#include "platform/com.h"

namespace {

TEST(ComPosix, ClassTableNeedsComInitialised) {
    FakeClassObject factory;
    DWORD cookie = 123;
    EXPECT_EQ(CoRegisterClassObject(TestClass(1), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(cookie, 0u);
    void *found = &factory;
    EXPECT_EQ(CoGetClassObject(TestClass(1), CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found), CO_E_NOTINITIALIZED);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(factory.references.load(), 1);
}

TEST(ComPosix, RegistrationsAreFoundByContextAndLatestFirst) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    FakeClassObject first;
    FakeClassObject second;
    const CLSID clsid = TestClass(2);
    DWORD cookies[2] = {};
    ASSERT_EQ(CoRegisterClassObject(clsid, &first, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookies[0]), S_OK);
    ASSERT_EQ(CoRegisterClassObject(clsid, &second, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookies[1]), S_OK);
    EXPECT_NE(cookies[0], cookies[1]);

    void *found = nullptr;
    EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IUnknown, &found), REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_ALL, nullptr, IID_IUnknown, &found), S_OK);
    EXPECT_EQ(found, static_cast<IUnknown *>(&second));
    static_cast<IUnknown *>(found)->Release();

    EXPECT_EQ(CoRevokeClassObject(cookies[1]), S_OK);
    ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found), S_OK);
    EXPECT_EQ(found, static_cast<IUnknown *>(&first));
    static_cast<IUnknown *>(found)->Release();
    EXPECT_EQ(CoRevokeClassObject(cookies[0]), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookies[0]), CO_E_OBJNOTREG);
    EXPECT_EQ(first.references.load(), 1);
    EXPECT_EQ(second.references.load(), 1);
    CoUninitialize();
}

TEST(ComPosix, SingleUseObjectIsHandedOutOnce) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    FakeClassObject factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClass(3), &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie), S_OK);
    void *found = nullptr;
    ASSERT_EQ(CoGetClassObject(TestClass(3), CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found), S_OK);
    static_cast<IUnknown *>(found)->Release();
    EXPECT_EQ(CoGetClassObject(TestClass(3), CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, &found), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    CoUninitialize();
}

TEST(ComPosix, LastUninitialisationReleasesForgottenClassObjects) {
    FakeClassObject factory;
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClass(4), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    CoUninitialize();
    EXPECT_EQ(factory.references.load(), 2);
    CoUninitialize();
    EXPECT_EQ(factory.references.load(), 1);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
}

TEST(ComPosix, UnbalancedServerReleaseStaysAtZero) {
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
}

TEST(ComPosix, CallerIdentityIsThePrivilegesOfTheCallingThreadOnly) {
    DWORD authn = 11;
    OLECHAR *principal = nullptr;
    RPC_AUTHZ_HANDLE privileges = &authn;
    // Unknown: a failure that leaves every output as it was.
    EXPECT_TRUE(FAILED(CoQueryClientBlanket(&authn, nullptr, &principal, nullptr, nullptr, &privileges, nullptr)));
    EXPECT_EQ(privileges, static_cast<void *>(&authn));
    EXPECT_EQ(authn, 11u);

    static const wchar_t kUser[] = L"PLANT\\operator";
    com_SetCallerIdentity(kUser);
    privileges = nullptr;
    EXPECT_EQ(CoQueryClientBlanket(&authn, nullptr, &principal, nullptr, nullptr, &privileges, nullptr), S_OK);
    EXPECT_STREQ(static_cast<const wchar_t *>(privileges), kUser);
    EXPECT_EQ(authn, 11u);
    EXPECT_EQ(principal, nullptr);
    EXPECT_EQ(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);

    HRESULT elsewhere = S_OK;
    std::thread([&] {
        RPC_AUTHZ_HANDLE other = nullptr;
        elsewhere = CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &other, nullptr);
    }).join();
    EXPECT_TRUE(FAILED(elsewhere));

    com_SetCallerIdentity(nullptr);
    privileges = nullptr;
    EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr)));
    EXPECT_EQ(privileges, nullptr);
}

}  // namespace
