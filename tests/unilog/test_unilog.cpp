// The log, run against a clean "<test executable>.log": what one call writes,
// which levels reach the file, and calls that must never harm the caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/module.h"
#include "unilog.h"

namespace fs = std::filesystem;

namespace {

constexpr char kServerName[] = "OPC.Brisvale.1";

// Beside the executable: "<path>.log" and "<path>.log.cfg".
const std::string kLogPath = [] {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0) + ".log";
}();
const std::string kSettingsPath = kLogPath + ".cfg";

struct Line {
    std::string level;
    std::string text;
};

void WriteEveryLevel(std::initializer_list<unilog *> logs, const char *tag) {
    for (unilog *log : logs)
        for (auto write : {unilog_ERROR, unilog_WARNING, unilog_MESSAGE, unilog_INFO, unilog_DEBUG})
            write(log, 0, "%s", tag);
}

class Log : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        fs::remove_all(kLogPath);
        fs::remove(kSettingsPath);
    }
    static void WriteSettings(const std::string &text) { std::ofstream(kSettingsPath, std::ios::binary) << text; }

    // Every line of the log (the Windows target ends them in CR LF); a line
    // that is not "<date> <time> <LEVEL> [<thread id>] <text>" fails the test.
    static std::vector<Line> Lines() {
        static const std::regex kLine(
            R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[\d+\] ([^\r\n]*)\r?)");
        std::vector<Line> lines;
        std::ifstream log(kLogPath, std::ios::binary);
        std::smatch parts;
        for (std::string line; std::getline(log, line);) {
            if (std::regex_match(line, parts, kLine)) lines.push_back({parts[1], parts[2]});
            if (parts.empty()) ADD_FAILURE() << "malformed log line: <" << line << ">";
        }
        return lines;
    }
    // The lines as "<level initial>:<text>|...".
    static std::string Texts() {
        std::string texts;
        for (const Line &line : Lines()) texts += line.level.substr(0, 1) + ":" + line.text + "|";
        return texts;
    }
    // The initials of the levels of the lines with this text, as "EWMID".
    static std::string Levels(const std::string &text) {
        std::string levels;
        for (const Line &line : Lines()) levels += line.text == text ? line.level.substr(0, 1) : "";
        return levels;
    }
};

TEST_F(Log, EachCallWritesOneLineInCallOrderWithItsDirectivesRendered) {
    unilog *server = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    unilog *toolkit = unilog_Create("LightOPC", "", "", -1, UL_MESSAGE);
    unilog_MESSAGE(server, 0, "value %d of %s", 42, "tag");
    unilog_ERROR(toolkit, 0, "");
    unilog_ERROR(server, 0, nullptr);
    SetLastError(ERROR_FILE_NOT_FOUND);
    unilog_ERROR(server, 0, "%!L Reg <%s> <%s> Failed", "CLSID", "OPC.Brisvale.1");
    unilog_ERROR(server, 0, "%!e loDelete(%p) = ", static_cast<int>(0x80004005), static_cast<void *>(&server));
    unilog_Delete(server);
    unilog_WARNING(toolkit, 0, "%!e %s=%d", 0, "count", 7);
    // Null and deleted logs are harmless; no call changes the last error.
    unilog_Delete(server);
    unilog_ERROR(nullptr, 0, "x");
    unilog_Delete(nullptr);
    unilog_Refresh(nullptr);
    unilog_Delete(toolkit);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(std::regex_match(Texts(), std::regex("M:value 42 of tag\\|E:\\|"
                                                     "E:\\[2\\] .*[a-zA-Z].* Reg <CLSID> <OPC\\.Brisvale\\.1> Failed\\|"
                                                     "E:\\[0x80004005\\] .+ loDelete\\([0-9A-Fa-fx]+\\) = \\|"
                                                     "W:\\[0x00000000\\].* count=7\\|")))
        << Texts();
}

// Line breaks and control characters, stray '%' signs (written as they
// stand, taking no argument) and over-long texts.
TEST_F(Log, TextsStayOnOneBoundedLineAndStrayPercentSignsStandAsTheyAre) {
    std::vector<std::pair<std::string, std::string>> cases = {
        {"ends in CR LF\r\n\r\n", "ends in CR LF"},
        {"a\nb\r\nc\rd", "a b c d"},
        {"tab\tstays, bell\a does not", "tab\tstays, bell? does not"},
        {"%s|end", "arg with break|end"},
        {"50%% done", "50% done"},
        {"x %!e %s", "x %!e arg with break"},
        {"%%!e", "%!e"}};
    // "%n" above all: it would write through an argument.
    for (const char *same : {"done %!", "100%", "%!x", "%5!", "count%n", "%l"}) cases.emplace_back(same, same);
    const std::string overlong(10000, 'x');
    unilog *log = unilog_Create(kServerName, "", "", -1, UL_MESSAGE);
    for (const auto &c : cases) unilog_MESSAGE(log, 0, c.first.c_str(), "arg\nwith break");
    unilog_MESSAGE(log, 0, "%s", overlong.c_str());
    unilog_MESSAGE(log, 0, overlong.c_str());
    unilog_Delete(log);
    const std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), cases.size() + 2);
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(lines[i].text, cases[i].second) << cases[i].first;
    for (std::size_t i = cases.size(); i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i].text, std::regex("x{3000,4000}\\.\\.\\."))) << lines[i].text.size();
}

TEST_F(Log, LevelsComeFromCreationOrTheSettingsFileReadAgainByName) {
    unilog *quiet = unilog_Create("twin", "", "", -1, 0);  // out of range: the nearest level
    unilog *twin = unilog_Create("twin", "", "", -1, UL_WARNING);
    unilog *verbose = unilog_Create(kServerName, "", "", -1, 9);
    WriteEveryLevel({quiet, twin, verbose}, "created");
    WriteSettings("level=4\n");
    WriteEveryLevel({quiet, twin, verbose}, "not yet refreshed");
    unilog_Refresh("twin");
    WriteEveryLevel({quiet, twin, verbose}, "twins refreshed");
    WriteSettings("level=1\n");
    unilog *late = unilog_Create("late", "", "", -1, UL_DEBUG);  // reads the file at once
    WriteEveryLevel({late}, "late");
    fs::remove(kSettingsPath);
    unilog_Refresh("twin");
    WriteEveryLevel({quiet, twin, verbose}, "settings gone");
    for (unilog *log : {quiet, twin, verbose, late}) unilog_Delete(log);
    EXPECT_EQ(Levels("created"), "EEWEWMID");
    EXPECT_EQ(Levels("not yet refreshed"), "EEWEWMID");
    EXPECT_EQ(Levels("twins refreshed"), "EWMIEWMIEWMID");
    EXPECT_EQ(Levels("late"), "E");
    EXPECT_EQ(Levels("settings gone"), "EEWEWMID");
}

TEST_F(Log, SettingsFileIsReadLeniently) {
    const struct {
        std::string settings;
        const char *levels;  // written at creation level 3
    } kCases[] = {{"  Level = 4 \r\n", "EWMI"},
                  {"# a comment\nname=x\n\nLEVEL=2\n", "EW"},
                  {"level=2\nlevel=5\nlevel=9\n", "EWMID"},
                  {"level=0\nlevel=6\nlevel=x\nlevel 5\nlevels=5\nlevel=5 please\n", "EWM"},
                  {std::string(300, 'x') + "level=5\n", "EWM"},
                  {std::string(300, 'x') + "\nlevel=5\n", "EWMID"}};
    for (const auto &c : kCases) {
        WriteSettings(c.settings);
        unilog *log = unilog_Create(kServerName, "", "", -1, UL_MESSAGE);
        WriteEveryLevel({log}, "t");
        unilog_Delete(log);
        EXPECT_EQ(Levels("t"), c.levels) << "<" << c.settings << ">";
        TearDown();
    }
}

TEST_F(Log, FileThatCannotBeOpenedGivesALogThatWritesNothing) {
    // A folder where the file should be: the open fails on every system, for every user.
    ASSERT_TRUE(fs::create_directory(kLogPath));
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_DEBUG);
    ASSERT_NE(log, nullptr);
    WriteEveryLevel({log}, "lost");
    unilog_Refresh(kServerName);
    unilog_Delete(log);
    EXPECT_TRUE(fs::is_empty(kLogPath));
}

#ifndef _WIN32
// Linux: the log is never written through a symbolic link, which whoever may
// write the executable's folder could point at any file of the server's user.
TEST_F(Log, ALogFileThatIsASymbolicLinkIsNotWrittenThrough) {
    const std::string target = kLogPath + ".target";
    std::ofstream(target) << "precious\n";
    fs::create_symlink(target, kLogPath);
    unilog *log = unilog_Create(kServerName, "", "", -1, UL_MESSAGE);
    unilog_ERROR(log, 0, "%s", "through the link");
    unilog_Delete(log);
    std::stringstream text;
    text << std::ifstream(target).rdbuf();
    EXPECT_EQ(text.str(), "precious\n");
    fs::remove(target);
}
#endif

}  // namespace
