#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lightopc.h"
#include "registry_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kProgId = "OPC.Brisvale.1";
constexpr const char *kDescription = "Brisvale OPC server";

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every test gets its own registry folder.
class PosixRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brisvale-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        root = base / "registry";
        ASSERT_EQ(setenv("BRISVALE_COM_REGISTRY", root.c_str(), 1), 0);
    }
    void TearDown() override {
        unsetenv("BRISVALE_COM_REGISTRY");
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }

    fs::path base;
    fs::path root;
    const CLSID clsid = TestClsid(1);
    const std::string clsidText = "{B15A7E57-0000-4C1A-8E57-5E57C1A55001}";
};

TEST_F(PosixRegistry, RecordsTheClassAndTheProgIdAsReadableFiles) {
    const std::string commandLine = "\"/opt/brisvale opc/brisvale-opc\" /c";
    ASSERT_EQ(loServerRegister(&clsid, kProgId, kDescription, commandLine.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(root / "CLSID" / clsidText),
              "@=Brisvale OPC server\n"
              "LocalServer32=\"/opt/brisvale opc/brisvale-opc\" /c\n"
              "ProgID=OPC.Brisvale.1\n"
              "Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}=\n"
              "Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}=\n");
    EXPECT_EQ(ReadFile(root / "ProgID" / kProgId), "@=Brisvale OPC server\nCLSID=" + clsidText + "\n");

    // Nothing but the two keys and the lock is left behind.
    int files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root)) files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 3);

    ASSERT_EQ(loServerUnregister(&clsid, kProgId), 0);
    EXPECT_FALSE(fs::exists(root / "CLSID" / clsidText));
    EXPECT_FALSE(fs::exists(root / "ProgID" / kProgId));
}

TEST_F(PosixRegistry, UnregisteringWhatIsNotRegisteredFailsAndChangesNothing) {
    EXPECT_NE(loServerUnregister(&clsid, kProgId), 0);
    EXPECT_FALSE(fs::exists(root));

    const CLSID other = TestClsid(2);
    ASSERT_EQ(loServerRegister(&other, "Other.Server.1", "other", "\"/opt/other\"", 0), 0);
    EXPECT_NE(loServerUnregister(&clsid, kProgId), 0);
    EXPECT_TRUE(fs::exists(root / "ProgID" / "Other.Server.1"));
}

TEST_F(PosixRegistry, UnwritableRootIsReported) {
    // Below a plain file: refused even for root, who ignores permissions.
    std::ofstream(base / "plain") << "x";
    ASSERT_EQ(setenv("BRISVALE_COM_REGISTRY", (base / "plain" / "registry").c_str(), 1), 0);
    EXPECT_NE(loServerRegister(&clsid, kProgId, kDescription, "\"/opt/x\"", 0), 0);
    EXPECT_NE(loServerUnregister(&clsid, kProgId), 0);
}

TEST_F(PosixRegistry, HomeFolderIsTheDefaultRoot) {
    const char *savedHome = std::getenv("HOME");
    const std::string home = savedHome != nullptr ? savedHome : "";
    unsetenv("BRISVALE_COM_REGISTRY");
    ASSERT_EQ(setenv("HOME", base.c_str(), 1), 0);
    const int registered = loServerRegister(&clsid, kProgId, kDescription, "\"/opt/x\"", 0);
    const bool recorded = fs::exists(base / ".local/share/brisvale-com/CLSID" / clsidText);
    const int unregistered = loServerUnregister(&clsid, kProgId);
    if (savedHome != nullptr) setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(registered, 0);
    EXPECT_TRUE(recorded);
    EXPECT_EQ(unregistered, 0);
}

// Several processes register their own classes and one shared class at once:
// every key ends up whole.
TEST_F(PosixRegistry, ConcurrentProcessesLeaveWholeKeys) {
    constexpr int kProcesses = 4;
    constexpr int kRounds = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            for (int round = 0; round < kRounds; ++round) {
                const std::string own = "Worker" + std::to_string(p) + ".Class." + std::to_string(round);
                const CLSID ownClsid = TestClsid(static_cast<BYTE>(0x10 + p * kRounds + round));
                if (loServerRegister(&ownClsid, own.c_str(), "worker", "\"/opt/worker\"", 0) != 0) ++failures;
                const std::string shared = "\"/opt/shared\" /c" + std::string(static_cast<std::size_t>(p) * 100, 'x');
                if (loServerRegister(&clsid, kProgId, kDescription, shared.c_str(), 0) != 0) ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int round = 0; round < kRounds; ++round) {
            const CLSID ownClsid = TestClsid(static_cast<BYTE>(0x10 + p * kRounds + round));
            char progId[40] = {};
            ASSERT_EQ(loServerLookup(&ownClsid, nullptr, 0, nullptr, 0, progId, sizeof progId), 0);
            EXPECT_EQ(std::string(progId), "Worker" + std::to_string(p) + ".Class." + std::to_string(round));
        }
    }
    char commandLine[512] = {};
    ASSERT_EQ(loServerLookup(&clsid, nullptr, 0, commandLine, sizeof commandLine, nullptr, 0), 0);
    EXPECT_EQ(std::string(commandLine).rfind("\"/opt/shared\" /c", 0), 0u);
    // No temporary file is left over.
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == ".lock" || name[0] != '.') << entry.path();
    }
}

}  // namespace
