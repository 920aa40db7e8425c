// The proxy/stub's registration in the Wine prefix's registry, beside what
// another product wrote there first, and the server's registration failing part
// of the way. The DLL is beside this test, as it is beside the server.
#include <gtest/gtest.h>

#include <string>

#include "lightopc.h"
#include "opc_da.h"
#include "platform/guid_text.h"
#include "win32/proxy_registration.h"
#include "win32/registry_keys.h"

namespace {

TEST(ProxyRegistration, UnregistrationRemovesOnlyWhatItWrote) {
    const std::string named = "Interface\\" + GuidText(IID_IOPCServer);
    const std::string made = "Interface\\" + GuidText(IID_IOPCCommon);
    DeleteTree(named);
    DeleteTree(made);
    // A key that another product named, with no proxy/stub: ours goes in, and out again.
    RegistryChanges theirs;
    ASSERT_EQ(theirs.SetDefault(View::kDefault, named, "IOPCServer, as another product names it"), ERROR_SUCCESS);
    RegistryChanges ours;
    ASSERT_EQ(RegisterMissingProxies(&ours), ERROR_SUCCESS);
    EXPECT_TRUE(KeyExists(made + "\\ProxyStubClsid32"));
    ASSERT_EQ(UnregisterOurProxies(), ERROR_SUCCESS);
    std::string value;
    EXPECT_EQ(ReadDefault(named, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, "IOPCServer, as another product names it");
    EXPECT_FALSE(KeyExists(named + "\\ProxyStubClsid32"));
    EXPECT_FALSE(KeyExists(made));
    DeleteTree(named);
}

// The proxy/stub is the last step of a registration: a value there that cannot
// be read undoes every key before it, in both views, and puts back another
// product's value as it was stored.
TEST(ProxyRegistration, AFailedRegistrationLeavesNothingOfItself) {
    const CLSID clsid = {0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, 0x09}};
    const std::string classKey = "CLSID\\" + GuidText(clsid);
    const std::string syncIo = "Interface\\" + GuidText(IID_IOPCSyncIO);
    const std::string blocking = syncIo + "\\ProxyStubClsid32";
    DeleteTree(syncIo);
    const DWORD number = 7;
    ASSERT_EQ(RegSetKeyValueA(HKEY_CLASSES_ROOT, blocking.c_str(), nullptr, REG_DWORD, &number, sizeof number),
              ERROR_SUCCESS);
    // Another product's value, not plain text, that the registration replaces: back as it was stored.
    ASSERT_EQ(RegSetKeyValueA(HKEY_CLASSES_ROOT, "AppID\\x.exe", "AppID", REG_EXPAND_SZ, "%theirs%", 9), ERROR_SUCCESS);

    EXPECT_NE(loServerRegister(&clsid, "Brisvale.FailTest.1", "Brisvale OPC server", "\"C:\\b\\x.exe\"", 0), 0);
    for (const View view : kBothViews) EXPECT_FALSE(KeyExists(classKey, view));
    EXPECT_FALSE(KeyExists("Brisvale.FailTest.1"));
    char theirs[32] = "";
    DWORD type = 0, size = sizeof theirs;
    EXPECT_EQ(RegGetValueA(HKEY_CLASSES_ROOT, "AppID\\x.exe", "AppID", RRF_RT_ANY | RRF_NOEXPAND, &type, theirs, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_STREQ(theirs, "%theirs%");
    DeleteTree("AppID\\x.exe");
    EXPECT_FALSE(KeyExists("Interface\\" + GuidText(IID_IOPCServer) + "\\ProxyStubClsid32"));
    EXPECT_TRUE(KeyExists(blocking));
    DeleteTree(syncIo);
}

}  // namespace
