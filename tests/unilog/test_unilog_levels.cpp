// Which levels reach the file: the level given at creation, the settings file
// and its refresh by name.
#include <gmock/gmock.h>

#include <string>

#include "log_fixture.h"
#include "unilog.h"

using ::testing::ElementsAre;

namespace {

constexpr char kServerName[] = "OPC.Brisvale.1";

void WriteEveryLevel(unilog *log, const char *tag) {
    unilog_ERROR(log, 0, "%s", tag);
    unilog_WARNING(log, 0, "%s", tag);
    unilog_MESSAGE(log, 0, "%s", tag);
    unilog_INFO(log, 0, "%s", tag);
    unilog_DEBUG(log, 0, "%s", tag);
}

// The levels that reached the file with the given tag.
std::vector<std::string> LevelsOf(const std::vector<LogRecord> &records, const std::string &tag) {
    std::vector<std::string> levels;
    for (const LogRecord &record : records) {
        if (record.text == tag) levels.push_back(record.level);
    }
    return levels;
}

using LogLevels = LogTest;

TEST_F(LogLevels, WithoutSettingsTheCreationLevelHolds) {
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    WriteEveryLevel(log, "t");
    unilog_Refresh(kServerName);
    WriteEveryLevel(log, "after refresh");
    unilog_Delete(log);

    EXPECT_THAT(LevelsOf(Records(), "t"), ElementsAre("ERROR", "WARNING", "MESSAGE"));
    EXPECT_THAT(LevelsOf(Records(), "after refresh"), ElementsAre("ERROR", "WARNING", "MESSAGE"));
}

TEST_F(LogLevels, CreationLevelOutOfRangeIsBroughtIntoRange) {
    unilog *quiet = unilog_Create("quiet", "", "", -1, 0);
    unilog *verbose = unilog_Create("verbose", "", "", -1, 9);
    WriteEveryLevel(quiet, "quiet");
    WriteEveryLevel(verbose, "verbose");
    unilog_Delete(quiet);
    unilog_Delete(verbose);

    EXPECT_THAT(LevelsOf(Records(), "quiet"), ElementsAre("ERROR"));
    EXPECT_THAT(LevelsOf(Records(), "verbose"), ElementsAre("ERROR", "WARNING", "MESSAGE", "INFO", "DEBUG"));
}

TEST_F(LogLevels, SettingsPresentAtCreationApplyAtOnce) {
    WriteSettings("level=4\n");
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
    WriteEveryLevel(log, "t");
    unilog_Delete(log);

    EXPECT_THAT(LevelsOf(Records(), "t"), ElementsAre("ERROR", "WARNING", "MESSAGE", "INFO"));
}

TEST_F(LogLevels, RefreshTakesUpChangedSettingsForItsNameOnly) {
    unilog *log = unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);

    WriteSettings("level=5\n");
    unilog_Refresh("LightOPC");
    WriteEveryLevel(log, "other name refreshed");
    unilog_Refresh(kServerName);
    WriteEveryLevel(log, "level 5");

    WriteSettings("level=1\n");
    WriteEveryLevel(log, "not yet refreshed");
    unilog_Refresh(kServerName);
    WriteEveryLevel(log, "level 1");

    RemoveSettings();
    unilog_Refresh(kServerName);
    WriteEveryLevel(log, "settings gone");
    unilog_Delete(log);

    const auto records = Records();
    EXPECT_THAT(LevelsOf(records, "other name refreshed"), ElementsAre("ERROR", "WARNING", "MESSAGE"));
    EXPECT_THAT(LevelsOf(records, "level 5"), ElementsAre("ERROR", "WARNING", "MESSAGE", "INFO", "DEBUG"));
    EXPECT_THAT(LevelsOf(records, "not yet refreshed"), ElementsAre("ERROR", "WARNING", "MESSAGE", "INFO", "DEBUG"));
    EXPECT_THAT(LevelsOf(records, "level 1"), ElementsAre("ERROR"));
    EXPECT_THAT(LevelsOf(records, "settings gone"), ElementsAre("ERROR", "WARNING", "MESSAGE"));
}

TEST_F(LogLevels, RefreshReachesEveryLogOfTheName) {
    unilog *first = unilog_Create("twin", "", "", -1, UL_ERROR);
    unilog *second = unilog_Create("twin", "", "", -1, UL_WARNING);
    unilog *other = unilog_Create("other", "", "", -1, UL_ERROR);
    WriteSettings("level=5\n");
    unilog_Refresh("twin");
    unilog_DEBUG(first, 0, "first");
    unilog_DEBUG(second, 0, "second");
    unilog_DEBUG(other, 0, "other");
    // Back to each one's own creation level.
    RemoveSettings();
    unilog_Refresh("twin");
    unilog_WARNING(first, 0, "first");
    unilog_WARNING(second, 0, "second");
    unilog_Delete(first);
    unilog_Delete(second);
    unilog_Delete(other);

    EXPECT_THAT(Texts(), ElementsAre("first", "second", "second"));
}

TEST_F(LogLevels, SettingsFileIsReadLeniently) {
    const struct {
        std::string settings;
        const char *highest;  // the most verbose level written, creation level 3
    } kCases[] = {
        {"level=5", "DEBUG"},
        {"  Level = 4 \r\n", "INFO"},
        {"LEVEL=1\n", "ERROR"},
        {"# a comment\nname=x\n\nlevel=2\n", "WARNING"},
        {"level=2\nlevel=5\n", "DEBUG"},
        {"level=5\nlevel=9\n", "DEBUG"},
        {"level=0\n", "MESSAGE"},
        {"level=6\n", "MESSAGE"},
        {"level=-1\n", "MESSAGE"},
        {"level=x\n", "MESSAGE"},
        {"level=\n", "MESSAGE"},
        {"level 5\n", "MESSAGE"},
        {"levels=5\n", "MESSAGE"},
        {"level=5 please\n", "MESSAGE"},
        {"level=99999999999999999999\n", "MESSAGE"},
        {"", "MESSAGE"},
        // The end of an over-long line is not a line of its own.
        {std::string(300, 'x') + "level=5\n", "MESSAGE"},
        {std::string(300, 'x') + "\nlevel=5\n", "DEBUG"},
    };
    for (const auto &c : kCases) {
        WriteSettings(c.settings);
        unilog *log = unilog_Create(kServerName, "", "", -1, UL_MESSAGE);
        WriteEveryLevel(log, "t");
        unilog_Delete(log);
        const auto levels = Levels();
        EXPECT_FALSE(levels.empty());
        EXPECT_EQ(levels.empty() ? "" : levels.back(), c.highest) << "<" << c.settings << ">";
        RemoveFiles();
    }
}

}  // namespace
