// What only our own runtime defines, and its edges.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "fake_class_object.h"
#include "platform/com_remote.h"
#include "platform/data_transfer.h"

namespace {

TEST(ComPosix, TheRuntimesLastEndReleasesWhatWasNotRevoked) {
    FakeClassObject factory;
    DWORD cookie = 7;
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
    RPC_AUTHZ_HANDLE privileges = nullptr;
    com_SetCallerIdentity(kUser);
    EXPECT_EQ(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr), S_OK);
    EXPECT_STREQ(static_cast<const wchar_t *>(privileges), kUser);
    std::thread([] {
        EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)));
    }).join();
    com_SetCallerIdentity(nullptr);
    EXPECT_TRUE(FAILED(CoQueryClientBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, &privileges, nullptr)));
}

// A registry of our own: ProgID/Test.Good.1 leads to CLSID/{...03}, all
// written only by their owner.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
        file = root + "/ProgID/Test.Good.1";
        const std::string entry = root + "/CLSID/{5A1C0DE5-7E57-4C0D-9A11-0B5E77000003}";
        mkdir((root + "/ProgID").c_str(), 0755);
        mkdir((root + "/CLSID").c_str(), 0755);
        std::ofstream(file) << "@=A test\nCLSID={5A1C0DE5-7E57-4C0D-9A11-0B5E77000003}\n";
        std::ofstream(entry) << "LocalServer32=/bin/true\n";
        chmod(file.c_str(), 0644);
        chmod(entry.c_str(), 0644);
        setenv("BRISVALE_COM_REGISTRY", folder, 1);
    }
    void TearDown() override {
        unsetenv("BRISVALE_COM_REGISTRY");
        std::filesystem::remove_all(root);
    }

    char folder[32] = "/tmp/brisvale-com-test-XXXXXX";
    std::string root, file;
};
// A command read from the registry runs as the reader: a registry that
// anybody but the reader (or root) may have written is not read at all.
TEST_F(Registry, ProgIdsAreReadButNotOneOthersMayChangeOrALink) {
    const OLECHAR *const name = u"Test.Good.1";
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(name, &clsid), S_OK);
    EXPECT_EQ(clsid, TestClass(3));
    EXPECT_EQ(CLSIDFromProgID(u"../ProgID/Test.Good.1", &clsid), CO_E_CLASSSTRING);

    for (const std::string &path : {root, file}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(chmod(path.c_str(), 0777), 0);
        EXPECT_EQ(CLSIDFromProgID(name, &clsid), E_ACCESSDENIED);
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
    // A key that is a link could lead anywhere.
    ASSERT_EQ(symlink(file.c_str(), (root + "/ProgID/Test.Link.1").c_str()), 0);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Link.1", &clsid), E_ACCESSDENIED);
    // Spelled through a link with a trailing "/", it is the same registry
    // (and so the same server's socket): one name for every process.
    const std::string named = com_RegistryRoot(), link = root + ".link";
    ASSERT_EQ(symlink(root.c_str(), link.c_str()), 0);
    setenv("BRISVALE_COM_REGISTRY", (link + "/").c_str(), 1);
    EXPECT_EQ(com_RegistryRoot(), named);
    unlink(link.c_str());
}

// The global memory that Data Access 1.0a's streams use.
TEST(ComPosix, GlobalMemoryRefusesABlockWhoseSizeWouldWrap) {
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, SIZE_MAX - 4), nullptr);
}

}  // namespace
