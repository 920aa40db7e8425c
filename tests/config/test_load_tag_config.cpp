#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "CError.h"
#include "LoadTagConfig.h"
#include "driver_config.h"
#include "platform/file.h"
#include "platform/module.h"

// The server defines this beside its other process-wide objects.
TagConfig driverConfig;

namespace {

template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const CError &e) {
        return e.narrowMessage;
    }
    return "";
}

// Files live in the test's working folder; their names are plain ASCII, so
// the narrow and the wide spelling name the same file on both platforms.
struct ScratchFile {
    ScratchFile(const char *name, const std::string &content, const char *mode = "wb")
        : narrow(name), wide(narrow.begin(), narrow.end()) {
        std::FILE *f = std::fopen(name, mode);
        EXPECT_NE(f, nullptr) << name;
        if (f != nullptr) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
    }
    ~ScratchFile() { std::remove(narrow.c_str()); }

    std::string narrow;
    std::wstring wide;
};

const char kConfig[] =
    "<TagConfig>\r\n"
    "  <QueryBlock deviceAddr='3' millisecondPeriod='250'>\r\n"
    "    <SingleReg name='Level' addr='0x10'/>\r\n"
    "    <BlockOfRegs namePrefix='Pump' startIndex='1' count='2' addrStart='0x11'/>\r\n"
    "  </QueryBlock>\r\n"
    "</TagConfig>\r\n";

class LoadTagConfigTest : public ::testing::Test {
protected:
    void SetUp() override { driverConfig = TagConfig(); }
    void TearDown() override { driverConfig = TagConfig(); }

    static void ExpectTheSmallConfig() {
        ASSERT_EQ(driverConfig.blocks.size(), 1u);
        const QueryBlock &b = driverConfig.blocks[0];
        EXPECT_EQ(b.deviceAddr, 3);
        EXPECT_EQ(b.millisecondPeriod, 250);
        ASSERT_EQ(b.lstAddress.size(), 2u);
        EXPECT_STREQ(b.lstAddress[0].singleReg.name, "Level");
        EXPECT_EQ(b.lstAddress[0].singleReg.addr, 0x10);
        EXPECT_STREQ(b.lstAddress[1].blockOfRegs.namePrefix, "Pump");
        EXPECT_EQ(driverConfig.TotalTagCount(), 3);
    }
};

TEST_F(LoadTagConfigTest, ReadsTheFileIntoTheDriverConfiguration) {
    ScratchFile file("load_small.tag.cfg", kConfig);
    EXPECT_EQ(ErrorOf([&] { LoadTagConfigFrom(file.wide.c_str()); }), "");
    ExpectTheSmallConfig();
}

TEST_F(LoadTagConfigTest, MissingOrUnopenableFileIsNoErrorAndChangesNothing) {
    driverConfig.Parse(kConfig);
    EXPECT_EQ(ErrorOf([] { LoadTagConfigFrom(L"no_such_file.tag.cfg"); }), "");
    EXPECT_EQ(ErrorOf([] { LoadTagConfigFrom(L"."); }), "");  // a folder
    ExpectTheSmallConfig();
}

TEST_F(LoadTagConfigTest, GrammarErrorPassesThroughAndKeepsTheBlocksBeforeIt) {
    ScratchFile file("load_broken.tag.cfg",
                     "<TagConfig>\n"
                     "<QueryBlock deviceAddr='1'><SingleReg name='A'/></QueryBlock>\n"
                     "<QueryBlock><SingleReg name='B'/></QueryBlock>\n"
                     "</TagConfig>\n");
    EXPECT_EQ(ErrorOf([&] { LoadTagConfigFrom(file.wide.c_str()); }), "deviceAddr is not optional");
    ASSERT_EQ(driverConfig.blocks.size(), 1u);
    EXPECT_STREQ(driverConfig.blocks[0].lstAddress[0].singleReg.name, "A");
    // The file was closed on the way out: it can be removed and rewritten.
    EXPECT_EQ(std::remove(file.narrow.c_str()), 0);
}

TEST_F(LoadTagConfigTest, EmptyFileIsASyntaxError) {
    ScratchFile file("load_empty.tag.cfg", "");
    EXPECT_EQ(ErrorOf([&] { LoadTagConfigFrom(file.wide.c_str()); }), "wrong config syntax");
}

TEST_F(LoadTagConfigTest, ReadsAFileThatAnotherWriterHoldsOpen) {
    ScratchFile file("load_shared.tag.cfg", "");
    std::FILE *writer = std::fopen(file.narrow.c_str(), "wb");
    ASSERT_NE(writer, nullptr);
    std::fputs(kConfig, writer);
    std::fflush(writer);
    EXPECT_EQ(ErrorOf([&] { LoadTagConfigFrom(file.wide.c_str()); }), "");
    std::fclose(writer);
    ExpectTheSmallConfig();
}

TEST_F(LoadTagConfigTest, LargeFileIsReadWhole) {
    std::string text = "<TagConfig>";
    for (int i = 0; i < 2000; ++i) {
        text += "<QueryBlock deviceAddr='" + std::to_string(i) + "'><BlockOfRegs namePrefix='T" + std::to_string(i) +
                "_' count='3'/></QueryBlock>\n";
    }
    text += "</TagConfig>";
    ScratchFile file("load_large.tag.cfg", text);
    LoadTagConfigFrom(file.wide.c_str());
    ASSERT_EQ(driverConfig.blocks.size(), 2000u);
    EXPECT_EQ(driverConfig.blocks.back().deviceAddr, 1999);
    EXPECT_EQ(driverConfig.TotalTagCount(), 6000);
}

TEST_F(LoadTagConfigTest, FindsTheFileBesideTheExecutable) {
    char exe[kTagConfigPathSize];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
    const std::string name = std::string(exe) + ".tag.cfg";
    {
        ScratchFile file(name.c_str(), kConfig);
        EXPECT_EQ(ErrorOf([] { LoadTagConfig(); }), "");
        ExpectTheSmallConfig();
    }
    // Without the file the configuration stays as it is.
    EXPECT_EQ(ErrorOf([] { LoadTagConfig(); }), "");
    ExpectTheSmallConfig();
}

TEST(TagConfigPath, AppendsTheSuffixWhenItFits) {
    wchar_t path[kTagConfigPathSize];
    std::wcscpy(path, L"C:\\srv\\server.exe");
    MakeTagConfigPath(path, static_cast<std::uint32_t>(std::wcslen(path)));
    EXPECT_STREQ(path, L"C:\\srv\\server.exe.tag.cfg");

    // 252 characters and the 8 of the suffix make the longest name, 260.
    std::wmemset(path, L'a', 252);
    path[252] = L'\0';
    MakeTagConfigPath(path, 252);
    EXPECT_EQ(std::wcslen(path), 260u);
    EXPECT_EQ(std::wcscmp(path + 252, L".tag.cfg"), 0);
}

TEST(TagConfigPath, RefusesAPathThatDoesNotFitOrIsNotReported) {
    wchar_t path[kTagConfigPathSize];
    std::wmemset(path, L'a', 253);
    path[253] = L'\0';
    EXPECT_EQ(ErrorOf([&] { MakeTagConfigPath(path, 253); }), "tag configuration file name too long");
    // GetModuleFileNameW reports a path cut to the buffer with the buffer's size.
    std::wmemset(path, L'a', kTagConfigPathSize - 1);
    path[kTagConfigPathSize - 1] = L'\0';
    EXPECT_EQ(ErrorOf([&] { MakeTagConfigPath(path, kTagConfigPathSize); }), "tag configuration file name too long");
    EXPECT_EQ(ErrorOf([&] { MakeTagConfigPath(path, 0); }), "executable path not available");
}

TEST(OpenSharedRead, OpensFilesButNotFolders) {
    ScratchFile file("open_shared.txt", "line\n");
    std::FILE *f = OpenSharedRead(file.wide.c_str());
    ASSERT_NE(f, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, f), 5u);
    EXPECT_STREQ(buffer, "line\n");
    std::fclose(f);
    EXPECT_EQ(OpenSharedRead(L"no_such_file.txt"), nullptr);
    EXPECT_EQ(OpenSharedRead(L"."), nullptr);
}

}  // namespace
