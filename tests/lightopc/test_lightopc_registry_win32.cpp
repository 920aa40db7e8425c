#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "lightopc.h"
#include "registry_fixture.h"

namespace {

constexpr const char *kProgId = "Brisvale.Win32RegistryTest.1";
constexpr const char *kDescription = "Brisvale OPC server";
constexpr const char *kCommandLine = "\"C:\\Brisvale\\brisvale-opc.exe\" /c";
constexpr const char *kClassKey = "CLSID\\{B15A7E57-0000-4C1A-8E57-5E57C1A55003}";

bool KeyExists(const std::string &key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

// The key's default value, or "<missing>".
std::string DefaultValue(const std::string &key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "<missing>";
    char value[256] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    const LONG error = RegQueryValueExA(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(handle);
    if (error != ERROR_SUCCESS || type != REG_SZ) return "<missing>";
    return value;
}

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override { loServerUnregister(&clsid, kProgId); }
    void TearDown() override { loServerUnregister(&clsid, kProgId); }

    const CLSID clsid = TestClsid(3);
};

TEST_F(Win32Registry, WritesTheClassesRootKeysAndRemovesThem) {
    ASSERT_EQ(loServerRegister(&clsid, kProgId, kDescription, kCommandLine, 0), 0);
    const std::string classKey = kClassKey;
    EXPECT_EQ(DefaultValue(classKey), kDescription);
    EXPECT_EQ(DefaultValue(classKey + "\\LocalServer32"), kCommandLine);
    EXPECT_EQ(DefaultValue(classKey + "\\ProgID"), kProgId);
    EXPECT_TRUE(KeyExists(classKey + "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_TRUE(KeyExists(classKey + "\\Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_EQ(DefaultValue(kProgId), kDescription);
    EXPECT_EQ(DefaultValue(std::string(kProgId) + "\\CLSID"), "{B15A7E57-0000-4C1A-8E57-5E57C1A55003}");

    ASSERT_EQ(loServerUnregister(&clsid, kProgId), 0);
    EXPECT_FALSE(KeyExists(classKey));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_NE(loServerUnregister(&clsid, kProgId), 0);
}

}  // namespace
