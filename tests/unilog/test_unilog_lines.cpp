// What one call puts in the log: the line's form, its text, the directives.
#include <gmock/gmock.h>

#include <regex>
#include <string>

#include "log_fixture.h"
#include "platform/errors.h"
#include "unilog.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr char kServerName[] = "OPC.Brisvale.1";

unilog *CreateServerLog() {
    return unilog_Create(kServerName, "|Brisvale OPC", "%!T", -1, UL_MESSAGE);
}

using LogLines = LogTest;

TEST_F(LogLines, EachCallGivesOneWellFormedLine) {
    unilog *log = CreateServerLog();
    ASSERT_NE(log, nullptr);
    unilog_MESSAGE(log, 0, "value %d of %s", 42, "tag");
    unilog_ERROR(log, 0, "");
    unilog_Delete(log);

    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, "MESSAGE");
    EXPECT_EQ(records[0].text, "value 42 of tag");
    EXPECT_NE(records[0].thread, 0u);
    EXPECT_EQ(records[1].level, "ERROR");
    EXPECT_EQ(records[1].text, "");
    EXPECT_LE(records[0].time, records[1].time);
}

TEST_F(LogLines, LineBreaksNeverSplitARecord) {
    unilog *log = CreateServerLog();
    unilog_ERROR(log, 0, "CreateFile failed with error 2.\n");
    unilog_ERROR(log, 0, "ends in CR LF\r\n\r\n");
    unilog_ERROR(log, 0, "\n");
    unilog_ERROR(log, 0, "first\nsecond\r\nthird\rfourth");
    unilog_ERROR(log, 0, "tab\tstays, bell\a and escape\x1b do not");
    unilog_ERROR(log, 0, "%s|%s", "arg\nwith break", "arg at end\n");
    unilog_Delete(log);

    EXPECT_THAT(Texts(),
                ElementsAre("CreateFile failed with error 2.", "ends in CR LF", "", "first second third fourth",
                            "tab\tstays, bell? and escape? do not", "arg with break|arg at end"));
}

TEST_F(LogLines, OverlongTextIsCutAndMarked) {
    const std::string longText(10000, 'x');
    unilog *log = CreateServerLog();
    unilog_MESSAGE(log, 0, "%s", longText.c_str());
    unilog_MESSAGE(log, 0, longText.c_str());
    unilog_MESSAGE(log, 0, "after");
    unilog_Delete(log);

    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_GT(texts[i].size(), 3000u);
        EXPECT_LT(texts[i].size(), 4000u);
        EXPECT_THAT(texts[i], FullyMatches("x+\\.\\.\\."));
    }
    EXPECT_EQ(texts[2], "after");
}

TEST_F(LogLines, NullFormatWritesNothing) {
    unilog *log = CreateServerLog();
    unilog_ERROR(log, 0, nullptr);
    unilog_Delete(log);
    EXPECT_THAT(Records(), IsEmpty());
}

TEST_F(LogLines, LogsOfOneProcessShareTheFileInCallOrder) {
    unilog *server = CreateServerLog();
    unilog *toolkit = unilog_Create("LightOPC", "", "", -1, UL_MESSAGE);
    unilog_MESSAGE(server, 0, "server 1");
    unilog_MESSAGE(toolkit, 0, "toolkit 1");
    unilog_MESSAGE(server, 0, "server 2");
    unilog_Delete(server);
    unilog_MESSAGE(toolkit, 0, "toolkit 2");
    unilog_Delete(toolkit);

    EXPECT_THAT(Texts(), ElementsAre("server 1", "toolkit 1", "server 2", "toolkit 2"));
}

TEST_F(LogLines, CallsLeaveTheLastErrorAsTheyFoundIt) {
    SetLastError(13);
    unilog *log = CreateServerLog();
    EXPECT_EQ(GetLastError(), 13u);
    unilog_MESSAGE(log, 0, "%!L written");
    EXPECT_EQ(GetLastError(), 13u);
    unilog_DEBUG(log, 0, "not written");
    EXPECT_EQ(GetLastError(), 13u);
    unilog_Refresh(kServerName);
    EXPECT_EQ(GetLastError(), 13u);
    unilog_Delete(log);
    EXPECT_EQ(GetLastError(), 13u);
}

using LogDirectives = LogTest;

TEST_F(LogDirectives, LastErrorGivesTheCallersNumberAndItsText) {
    unilog *log = CreateServerLog();
    SetLastError(ERROR_FILE_NOT_FOUND);
    unilog_ERROR(log, 0, "%!L Reg <%s> <%s> Failed", "CLSID", "OPC.Brisvale.1");
    SetLastError(ERROR_ACCESS_DENIED);
    unilog_WARNING(log, 0, "%!L");
    unilog_Delete(log);

    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(texts[0], parts, std::regex(R"(\[2\] (.+) Reg <CLSID> <OPC\.Brisvale\.1> Failed)")))
        << texts[0];
    EXPECT_THAT(parts[1].str(), FullyMatches(".*[a-zA-Z].*"));
    EXPECT_THAT(texts[1], FullyMatches("\\[5\\] .*[a-zA-Z].*"));
}

TEST_F(LogDirectives, ErrorCodeTakesTheNextArgument) {
    unilog *log = CreateServerLog();
    int object = 0;
    unilog_ERROR(log, 0, "%!e loDelete(%p) = ", static_cast<int>(0x80004005), static_cast<void *>(&object));
    unilog_ERROR(log, 0, "%!e %s=%d", 0, "count", 7);
    unilog_ERROR(log, 0, "%!e", static_cast<int>(0x1234ABCD));
    unilog_Delete(log);

    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_THAT(texts[0], FullyMatches("\\[0x80004005\\] .+ loDelete\\([0-9A-Fa-fx]+\\) = "));
    EXPECT_THAT(texts[1], FullyMatches("\\[0x00000000\\].* count=7"));
    EXPECT_THAT(texts[2], FullyMatches("\\[0x1234ABCD\\].*"));
}

TEST_F(LogDirectives, StrayPercentSignsAreWrittenAsTheyStand) {
    const struct {
        const char *format;
        const char *text;
    } kCases[] = {
        {"done %!", "done %!"}, {"%!", "%!"},       {"%", "%"},     {"100%", "100%"},       {"%!x", "%!x"},
        {"x %!L", "x %!L"},     {"x %!e", "x %!e"}, {"%5!", "%5!"}, {"count%n", "count%n"}, {"50%% done", "50% done"},
        {"%%!e", "%!e"},        {"%-", "%-"},       {"%.", "%."},   {"%l", "%l"},           {"%!T", "%!T"},
    };
    unilog *log = CreateServerLog();
    for (const auto &c : kCases) unilog_MESSAGE(log, 0, c.format);
    // Stray signs beside real conversions take no argument of theirs.
    unilog_MESSAGE(log, 0, "value %d %!e %s", 4, "next");
    unilog_MESSAGE(log, 0, "%d%%%!", 5);
    unilog_Delete(log);

    const auto texts = Texts();
    ASSERT_EQ(texts.size(), std::size(kCases) + 2);
    for (std::size_t i = 0; i < std::size(kCases); ++i) EXPECT_EQ(texts[i], kCases[i].text) << kCases[i].format;
    EXPECT_EQ(texts[std::size(kCases)], "value 4 %!e next");
    EXPECT_EQ(texts[std::size(kCases) + 1], "5%%!");
}

}  // namespace
