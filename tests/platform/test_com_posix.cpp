// What only our own runtime defines, and its edges.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
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

std::u16string Ole(const std::string &text) {
    return std::u16string(text.begin(), text.end());
}

// A registry of our own: ProgID/Test.Good.1 leads to CLSID/{...03}, all
// written only by their owner; ProgID/Test.Broken.1 names no class id.
class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
        progIds = root + "/ProgID";
        file = progIds + "/Test.Good.1";
        classes = root + "/CLSID";
        entry = classes + "/{5A1C0DE5-7E57-4C0D-9A11-0B5E77000003}";
        mkdir(progIds.c_str(), 0755);
        mkdir(classes.c_str(), 0755);
        std::ofstream(file) << "@=A test\nCLSID={5A1C0DE5-7E57-4C0D-9A11-0B5E77000003}\n";
        std::ofstream(progIds + "/Test.Broken.1") << "CLSID={5A1C0DE5-7E57}\n";
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
    std::string root, progIds, file, classes, entry;
};
TEST_F(Registry, ProgIdsAreReadAndInstancesMadeInProcess) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(Ole("Test.Good.1").c_str(), &clsid), S_OK);
    EXPECT_EQ(clsid, TestClass(3));
    for (const char *bad : {"Test.Broken.1", "Test.Missing.1", "../ProgID/Test.Good.1", ""})
        EXPECT_EQ(CLSIDFromProgID(Ole(bad).c_str(), &clsid), CO_E_CLASSSTRING) << bad;
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);

    FakeClassObject factory;
    void *object = &object;
    EXPECT_EQ(CoCreateInstance(TestClass(3), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(TestClass(3), &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    EXPECT_EQ(CoCreateInstance(TestClass(3), nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &object), S_OK);
    EXPECT_EQ(object, static_cast<void *>(static_cast<IClassFactory *>(&factory)));
    EXPECT_EQ(CoDisconnectObject(static_cast<IUnknown *>(object), 0), S_OK);  // nothing remote
    static_cast<IUnknown *>(object)->Release();
    EXPECT_EQ(factory.created.load(), 1);
    EXPECT_EQ(CoCreateInstance(TestClass(3), nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.references.load(), 1);
    CoUninitialize();
}

// A command read from the registry runs as the reader: a registry that
// anybody but the reader (or root) may have written is not read at all.
TEST_F(Registry, OneOthersMayChangeIsRefusedAndEverySpellingNamesOneRegistry) {
    const std::u16string name = Ole("Test.Good.1");
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(name.c_str(), &clsid), S_OK);

    const struct {
        const std::string &path;
        mode_t spoiled;
        mode_t sound;
    } modes[] = {{root, 0720, 0700}, {progIds, 0757, 0755}, {file, 0664, 0644},
                 {file, 0646, 0644}, {classes, 0775, 0755}, {entry, 0664, 0644}};
    for (const auto &row : modes) {
        SCOPED_TRACE(row.path);
        ASSERT_EQ(chmod(row.path.c_str(), row.spoiled), 0);
        EXPECT_EQ(CLSIDFromProgID(name.c_str(), &clsid), E_ACCESSDENIED);
        ASSERT_EQ(chmod(row.path.c_str(), row.sound), 0);
        EXPECT_EQ(CLSIDFromProgID(name.c_str(), &clsid), S_OK);
    }
    // A key that is a link could lead anywhere.
    ASSERT_EQ(symlink(file.c_str(), (progIds + "/Test.Link.1").c_str()), 0);
    EXPECT_EQ(CLSIDFromProgID(Ole("Test.Link.1").c_str(), &clsid), E_ACCESSDENIED);
    if (geteuid() == 0) {  // another owner than the reader and root
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        EXPECT_EQ(CLSIDFromProgID(name.c_str(), &clsid), E_ACCESSDENIED);
        ASSERT_EQ(chown(file.c_str(), 0, 0), 0);
    }

    // Relative, with trailing slashes, through a link, or not there yet:
    // one absolute name without links.
    char real[PATH_MAX];
    ASSERT_NE(realpath(folder, real), nullptr);
    const std::string link = root + ".link";
    ASSERT_EQ(symlink(real, link.c_str()), 0);
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir("/tmp"), 0);
    const std::string relative = root.substr(std::string("/tmp/").size());
    const std::pair<std::string, std::string> spellings[] = {
        {root + "/", real},
        {root + "//./", real},
        {relative, real},
        {link + "/", real},
        {relative + "/missing/../new/", root + "/new"},
    };
    for (const auto &spelling : spellings) {
        setenv("BRISVALE_COM_REGISTRY", spelling.first.c_str(), 1);
        EXPECT_EQ(com_RegistryRoot(), spelling.second) << spelling.first;
    }
    ASSERT_EQ(chdir(previous), 0);
    unlink(link.c_str());
}

// The global memory and clipboard formats that Data Access 1.0a's streams use.
TEST(ComPosix, GlobalMemoryKeepsItsSizeAndRefusesOneItCannotHold) {
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, SIZE_MAX - 4), nullptr);  // its size would wrap
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 3);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalSize(block), 3u);
    const char *bytes = static_cast<const char *>(GlobalLock(block));
    EXPECT_EQ(bytes[0] | bytes[1] | bytes[2], 0);
    GlobalUnlock(block);
    EXPECT_EQ(GlobalFree(block), nullptr);
    const UINT format = RegisterClipboardFormatW(L"OPCSTMFORMATDATA");
    EXPECT_GE(format, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormatW(L"opcstmformatdata"), format);
    EXPECT_EQ(RegisterClipboardFormatW(L""), 0u);
}

}  // namespace
