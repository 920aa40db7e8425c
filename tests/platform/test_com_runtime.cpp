#include "fake_class_object.h"

namespace {

TEST(ComRuntime, ClassObjectsAreRegisteredFoundAndRevokedAndTheProcessCounted) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    // Again in another mode: refused (and not counted).
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    FakeClassObject factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClass(1), &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(Get(TestClass(1), CLSCTX_LOCAL_SERVER), &factory);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));  // Windows: E_INVALIDARG, ours: CO_E_OBJNOTREG
    EXPECT_EQ(factory.references.load(), 1);
    Get(TestClass(1), CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG);
    // Last: on Windows a process count back at zero suspends the class objects.
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoAddRefServerProcess(), 2u);
    EXPECT_EQ(CoReleaseServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    CoUninitialize();
}

}  // namespace
