#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "lightopc.h"
#include "registry_fixture.h"

namespace {

constexpr const char *kProgId = "Brisvale.RegistryTest.1";
constexpr const char *kOtherProgId = "Brisvale.RegistryTest.2";
constexpr const char *kDescription = "Brisvale registry test";
constexpr const char *kCommandLine = "\"C:\\Program Files\\Brisvale\\brisvale-opc.exe\" /c";

class Registry : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    void Clean() {
        loServerUnregister(&clsid, kProgId);
        loServerUnregister(&clsid, kOtherProgId);
    }

    const CLSID clsid = TestClsid(1);
};

TEST_F(Registry, RegistrationIsReadBackAndRemoved) {
    ASSERT_EQ(loServerRegister(&clsid, kProgId, kDescription, kCommandLine, 0), 0);
    char description[64] = {};
    char commandLine[128] = {};
    char progId[40] = {};
    ASSERT_EQ(
        loServerLookup(&clsid, description, sizeof description, commandLine, sizeof commandLine, progId, sizeof progId),
        0);
    EXPECT_STREQ(description, kDescription);
    EXPECT_STREQ(commandLine, kCommandLine);
    EXPECT_STREQ(progId, kProgId);
    CLSID named{};
    ASSERT_EQ(loProgIdLookup(kProgId, &named), 0);
    EXPECT_TRUE(IsEqualGUID(named, clsid));

    EXPECT_EQ(loServerUnregister(&clsid, kProgId), 0);
    EXPECT_NE(loServerLookup(&clsid, nullptr, 0, nullptr, 0, nullptr, 0), 0);
    EXPECT_NE(loProgIdLookup(kProgId, &named), 0);
    EXPECT_NE(loServerUnregister(&clsid, kProgId), 0);
}

TEST_F(Registry, RegisteringAgainReplacesTheEntries) {
    ASSERT_EQ(loServerRegister(&clsid, kProgId, kDescription, "\"/opt/a\"", 0), 0);
    ASSERT_EQ(loServerRegister(&clsid, kOtherProgId, kDescription, "\"/opt/b\" /c", 0), 0);
    char commandLine[64] = {};
    char progId[40] = {};
    ASSERT_EQ(loServerLookup(&clsid, nullptr, 0, commandLine, sizeof commandLine, progId, sizeof progId), 0);
    EXPECT_STREQ(commandLine, "\"/opt/b\" /c");
    EXPECT_STREQ(progId, kOtherProgId);
    // The old ProgID no longer leads to the class.
    CLSID named{};
    EXPECT_NE(loProgIdLookup(kProgId, &named), 0);
    ASSERT_EQ(loProgIdLookup(kOtherProgId, &named), 0);
    EXPECT_TRUE(IsEqualGUID(named, clsid));
}

TEST_F(Registry, BadArgumentsAndShortBuffersAreRefused) {
    EXPECT_NE(loServerRegister(nullptr, kProgId, kDescription, kCommandLine, 0), 0);
    EXPECT_NE(loServerRegister(&clsid, kProgId, kDescription, nullptr, 0), 0);
    EXPECT_NE(loServerRegister(&clsid, "Bad\\ProgId", kDescription, kCommandLine, 0), 0);
    EXPECT_NE(loServerRegister(&clsid, kProgId, "two\nlines", kCommandLine, 0), 0);
    EXPECT_NE(loServerLookup(&clsid, nullptr, 0, nullptr, 0, nullptr, 0), 0);  // nothing was registered
    EXPECT_NE(loServerUnregister(&clsid, nullptr), 0);

    ASSERT_EQ(loServerRegister(&clsid, kProgId, kDescription, kCommandLine, 0), 0);
    char commandLine[8];
    EXPECT_EQ(loServerLookup(&clsid, nullptr, 0, commandLine, sizeof commandLine, nullptr, 0), ERANGE);
    EXPECT_STREQ(commandLine, "");
}

}  // namespace
