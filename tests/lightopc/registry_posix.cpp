// The Linux registry's files, in a temporary folder for the whole run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

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

// A root that cannot be made is reported, even for root, who ignores permissions.
TEST(PosixRegistry, UnusableRootIsReported) {
    const CLSID clsid = {0xB15A7E57, 0x0000, 0x4C1A, {0x8E, 0x57, 0x5E, 0x57, 0xC1, 0xA5, 0x50, 0x02}};
    std::ofstream(temporary.base / "plain") << "x";
    setenv("BRISVALE_COM_REGISTRY", (temporary.base / "plain" / "registry").c_str(), 1);
    EXPECT_NE(loServerRegister(&clsid, "Brisvale.Test", "x", "\"/opt/x\"", 0), 0);
    EXPECT_NE(loServerUnregister(&clsid, "Brisvale.Test"), 0);
    temporary.SetUp();
}

}  // namespace

std::string Recorded(const std::string &classText, const std::string &progId) {
    return ReadFile(temporary.base / "registry/CLSID" / classText) +
           ReadFile(temporary.base / "registry/ProgID" / progId);
}
