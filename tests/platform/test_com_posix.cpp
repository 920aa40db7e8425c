// What only our own runtime defines, and its edges.
#include <thread>

#include "fake_class_object.h"

namespace {

TEST(ComPosix, ClassTableNeedsTheRuntimeAndItsEndReleasesWhatWasNotRevoked) {
    EXPECT_EQ(CoReleaseServerProcess(), 0u);  // an unbalanced release stays at zero
    FakeClassObject factory;
    DWORD cookie = 7;
    EXPECT_EQ(CoRegisterClassObject(TestClass(2), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CoRegisterClassObject(TestClass(2), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    Get(TestClass(2), CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG);
    // Another thread's end is not the last.
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
    EXPECT_EQ(factory.references.load(), 2);
    CoUninitialize();
    EXPECT_EQ(factory.references.load(), 1);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    Get(TestClass(2), CLSCTX_LOCAL_SERVER, CO_E_NOTINITIALIZED);
}

TEST(ComPosix, CallerIdentityIsThePrivilegesOfTheCallingThreadOnly) {
    static const wchar_t kUser[] = L"PLANT\\operator";
    RPC_AUTHZ_HANDLE privileges = &privileges;
    // Unknown: a failure that leaves the output as it was.
    EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr)));
    EXPECT_EQ(privileges, static_cast<void *>(&privileges));
    com_SetCallerIdentity(kUser);
    EXPECT_EQ(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr), S_OK);
    EXPECT_STREQ(static_cast<const wchar_t *>(privileges), kUser);
    std::thread([] {
        EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)));
    }).join();
    com_SetCallerIdentity(nullptr);
    EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr)));
}

}  // namespace
