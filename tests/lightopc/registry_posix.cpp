// The Linux registry's files, in a temporary folder for the whole run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "lightopc.h"

namespace fs = std::filesystem;

namespace {

struct TemporaryRegistry : ::testing::Environment {
    void SetUp() override { setenv("BRISVALE_COM_REGISTRY", (base / "registry").c_str(), 1); }
    void TearDown() override { fs::remove_all(base); }

    char pattern[32] = "/tmp/brisvale-registry-XXXXXX";
    const fs::path base = mkdtemp(pattern);
};

TemporaryRegistry &temporary =
    *static_cast<TemporaryRegistry *>(::testing::AddGlobalTestEnvironment(new TemporaryRegistry));

std::string ReadFile(const fs::path &path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

const CLSID kClass = {0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, 0x03}};
const CLSID kNewClass = {0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, 0x04}};

// Every file of the registry with its text, temporary ones included.
std::map<std::string, std::string> Snapshot(const fs::path &root) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().filename() != ".lock")
            files[fs::relative(entry.path(), root).string()] = ReadFile(entry.path());
    }
    return files;
}

// Clients refuse a registry that others may write, and the lock is opened
// where the registry is, not where a link sends it.
TEST(PosixRegistry, ItLeavesNoFolderOthersMayWriteAndFollowsNoLinkedLock) {
    const fs::path root = temporary.base / "umask";
    setenv("BRISVALE_COM_REGISTRY", root.c_str(), 1);
    const mode_t previous = umask(002);
    EXPECT_EQ(loServerRegister(&kClass, "Brisvale.Umask.1", "x", "\"/opt/x\"", 0), 0);
    umask(previous);
    for (const char *folder : {".", "CLSID", "ProgID"}) {
        struct stat info {};
        ASSERT_EQ(stat((root / folder).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 022, 0u) << folder;
    }
    fs::remove(root / ".lock");
    fs::create_symlink(temporary.base / "elsewhere", root / ".lock");
    EXPECT_NE(loServerRegister(&kClass, "Brisvale.Umask.1", "x", "\"/opt/y\"", 0), 0);
    EXPECT_FALSE(fs::exists(temporary.base / "elsewhere"));
    temporary.SetUp();
}

// A folder where the ProgID's file would go: its write fails, even for root.
TEST(PosixRegistry, ARegistrationWhoseSecondEntryFailsChangesNothing) {
    const fs::path root = temporary.base / "registry";
    ASSERT_EQ(loServerRegister(&kClass, "Brisvale.Whole.1", "x", "\"/opt/old\"", 0), 0);
    fs::create_directories(root / "ProgID/Brisvale.Blocked.1");
    const std::map<std::string, std::string> before = Snapshot(root);
    EXPECT_NE(loServerRegister(&kClass, "Brisvale.Blocked.1", "x", "\"/opt/new\"", 0), 0);
    EXPECT_EQ(Snapshot(root), before);
    // A class registered for the first time leaves no entry behind.
    EXPECT_NE(loServerRegister(&kNewClass, "Brisvale.Blocked.1", "x", "\"/opt/new\"", 0), 0);
    EXPECT_EQ(Snapshot(root), before);
    fs::remove(root / "ProgID/Brisvale.Blocked.1");
    EXPECT_EQ(loServerUnregister(&kClass, "Brisvale.Whole.1"), 0);
}

// The longest ProgID a client can look up is accepted, one more is refused.
TEST(PosixRegistry, TheLongestProgIdIsRegisteredAndALongerOneRefused) {
    const std::string progId = "Brisvale." + std::string(255 - 9, 'x');
    ASSERT_EQ(loServerRegister(&kClass, progId.c_str(), "x", "\"/opt/x\"", 0), 0);
    char recorded[256];
    EXPECT_EQ(loServerLookup(&kClass, nullptr, 0, nullptr, 0, recorded, sizeof recorded), 0);
    EXPECT_EQ(recorded, progId);
    EXPECT_EQ(loServerUnregister(&kClass, progId.c_str()), 0);
    EXPECT_NE(loServerRegister(&kClass, (progId + "x").c_str(), "x", "\"/opt/x\"", 0), 0);
}

// Two processes register the same class under their own ProgIDs, over and
// over, starting together in a registry that does not exist yet: one whole
// registration is left, the other's ProgID is gone.
TEST(PosixRegistry, ConcurrentRegistrationsLeaveOneWholeRegistration) {
    for (int round = 0; round < 10; ++round) {
        const fs::path root = temporary.base / ("race" + std::to_string(round));
        setenv("BRISVALE_COM_REGISTRY", root.c_str(), 1);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t children[2];
        for (int k = 0; k < 2; ++k) {
            children[k] = fork();
            ASSERT_GE(children[k], 0);
            if (children[k] == 0) {
                char start;
                close(go[1]);
                if (read(go[0], &start, 1) != 0) _exit(3);
                const std::string progId = "Brisvale.Race." + std::to_string(k);
                const std::string command = "\"/opt/" + std::to_string(k) + "\"";
                for (int n = 0; n < 10; ++n) {
                    if (loServerRegister(&kClass, progId.c_str(), "x", command.c_str(), 0) != 0) _exit(1);
                }
                _exit(0);
            }
        }
        close(go[0]);
        close(go[1]);  // both start now
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        char progId[256];
        char command[64];
        ASSERT_EQ(loServerLookup(&kClass, nullptr, 0, command, sizeof command, progId, sizeof progId), 0);
        const std::string winner = std::string(progId).substr(std::strlen("Brisvale.Race."));
        EXPECT_EQ(command, "\"/opt/" + winner + "\"");
        CLSID named{};
        EXPECT_EQ(loProgIdLookup(progId, &named), 0);
        EXPECT_TRUE(IsEqualGUID(named, kClass));
        EXPECT_NE(loProgIdLookup(winner == "0" ? "Brisvale.Race.1" : "Brisvale.Race.0", &named), 0);
        // No temporary file is left behind.
        for (const auto &file : Snapshot(root)) EXPECT_NE(fs::path(file.first).filename().string()[0], '.');
    }
    temporary.SetUp();
}

}  // namespace

std::string Recorded(const std::string &classText, const std::string &progId) {
    return ReadFile(temporary.base / "registry/CLSID" / classText) +
           ReadFile(temporary.base / "registry/ProgID" / progId);
}
