// The log, run against a clean "<test executable>.log": what one call writes,
// which levels reach the file, and calls that must never harm the caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../common/server_log.h"
#include "platform/errors.h"
#include "unilog.h"

namespace fs = std::filesystem;

namespace {

constexpr char kServerName[] = "OPC.Brisvale.1";

// Beside the executable: "<path>.log" and "<path>.log.cfg".
const std::string kLogPath = BesideExecutable(".log");
const std::string kSettingsPath = kLogPath + ".cfg";

struct Line {
    std::string level;
    std::string text;
};

void WriteEveryLevel(unilog *log, const char *tag) {
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
    // The initials of the levels of the lines with this text, as "EWMID".
    static std::string Levels(const std::string &text) {
        std::string levels;
        for (const Line &line : Lines()) levels += line.text == text ? line.level.substr(0, 1) : "";
        return levels;
    }
};

TEST_F(Log, EachCallWritesOneLineWithItsDirectivesRenderedAndNullLogsAreHarmless) {
    unilog *server = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    unilog_MESSAGE(server, 0, "value %d of %s", 42, "tag");
    SetLastError(ERROR_FILE_NOT_FOUND);
    unilog_ERROR(server, 0, "%!L Reg <%s> Failed", "CLSID");
    unilog_ERROR(server, 0, "%!e loDelete() = ", static_cast<int>(0x80004005));
    unilog_Delete(server);
    unilog_Delete(server);  // deleted before: not touched again
    unilog_ERROR(nullptr, 0, "x");
    unilog_Delete(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::string texts;  // as "<level initial>:<text>|..."
    for (const Line &line : Lines()) texts += line.level.substr(0, 1) + ":" + line.text + "|";
    EXPECT_TRUE(std::regex_match(texts, std::regex("M:value 42 of tag\\|"
                                                   "E:\\[2\\] .*[a-zA-Z].* Reg <CLSID> Failed\\|"
                                                   "E:\\[0x80004005\\] .+ loDelete\\(\\) = \\|")))
        << texts;
}

// A line break stays out of the file, "%n" never writes through an argument,
// an over-long text is cut.
TEST_F(Log, TextsStayOnOneBoundedLineAndStrayPercentSignsStandAsTheyAre) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\nb\r\nc\rd", "a b c d"}, {"x %!e %s", "x %!e arg"}, {"count%n", "count%n"}};
    const std::string overlong(10000, 'x');
    unilog *log = unilog_Create(kServerName, "", "", -1, UL_MESSAGE);
    for (const auto &c : cases) unilog_MESSAGE(log, 0, c.first.c_str(), "arg");
    unilog_MESSAGE(log, 0, "%s", overlong.c_str());
    unilog_Delete(log);
    const std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(lines[i].text, cases[i].second) << cases[i].first;
    EXPECT_TRUE(std::regex_match(lines.back().text, std::regex("x{3000,4000}\\.\\.\\."))) << lines.back().text.size();
}

TEST_F(Log, TheSettingsFileIsReadAgainByName) {
    unilog *log = unilog_Create(kServerName, "", "", -1, UL_WARNING);
    WriteEveryLevel(log, "created");
    std::ofstream(kSettingsPath, std::ios::binary) << "  Level = 4 \r\n";
    unilog_Refresh(kServerName);
    WriteEveryLevel(log, "refreshed");
    unilog_Delete(log);
    EXPECT_EQ(Levels("created"), "EW");
    EXPECT_EQ(Levels("refreshed"), "EWMI");
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
