// The proxy/stub's registration in the Wine prefix's registry, beside what
// another product wrote there first. The DLL is beside this test, as it is
// beside the server.
#include <gtest/gtest.h>

#include <string>

#include "platform/guid_text.h"
#include "opc_da.h"
#include "win32/proxy_registration.h"
#include "win32/registry_keys.h"

namespace {

TEST(ProxyRegistration, UnregistrationRemovesOnlyWhatItWrote) {
    const std::string named = "Interface\\" + GuidText(IID_IOPCServer);
    const std::string made = "Interface\\" + GuidText(IID_IOPCCommon);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, named.c_str());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, made.c_str());
    // A key that another product named, with no proxy/stub: ours goes in, and out again.
    ASSERT_EQ(SetDefault(named, "IOPCServer, as another product names it"), ERROR_SUCCESS);
    ASSERT_EQ(RegisterMissingProxies(), ERROR_SUCCESS);
    std::string value;
    EXPECT_EQ(ReadDefault(named, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, "IOPCServer, as another product names it");
    EXPECT_EQ(ReadDefault(made, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, "IOPCCommon");
    ASSERT_EQ(UnregisterOurProxies(), ERROR_SUCCESS);
    EXPECT_EQ(ReadDefault(named, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, "IOPCServer, as another product names it");
    EXPECT_FALSE(KeyExists(named + "\\ProxyStubClsid32"));
    EXPECT_FALSE(KeyExists(made));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, named.c_str());
}

}  // namespace
