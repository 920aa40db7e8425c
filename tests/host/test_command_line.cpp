#include <gtest/gtest.h>

#include "command_line.h"

namespace {

TEST(CommandLine, OptionIsFoundAnywhereAndTheFirstInOrderWins) {
    struct Case {
        const char *argument;
        ServerOption option;
    } const cases[] = {
        {"/r", ServerOption::Register},    {"/rc", ServerOption::Register},       {"/run", ServerOption::Register},
        {"x/ry", ServerOption::Register},  {"/u/r", ServerOption::Register},      {"/u", ServerOption::Unregister},
        {"/uc", ServerOption::Unregister}, {"/c/u", ServerOption::Unregister},    {"/c", ServerOption::Console},
        {"/C", ServerOption::Console},     {"/daemon/c", ServerOption::Console},  {"/test/C", ServerOption::Console},
        {"/daemon", ServerOption::Daemon}, {"/detach", ServerOption::Detach},     {"/test", ServerOption::Test},
        {"/R", ServerOption::Unknown},     {"/U", ServerOption::Unknown},         {"-c", ServerOption::Unknown},
        {"", ServerOption::Unknown},       {"-Embedding", ServerOption::Unknown}, {"/DAEMON", ServerOption::Unknown},
        {"daemon", ServerOption::Unknown},
    };
    for (const Case &c : cases) EXPECT_EQ(MatchOption(c.argument), c.option) << c.argument;
}

TEST(CommandLine, ConsoleStartOnlyWhenLowerCaseCFollowsTheFirstSlashR) {
    EXPECT_TRUE(RegistersConsoleStart("/rc"));
    EXPECT_TRUE(RegistersConsoleStart("x/rcy"));
    EXPECT_FALSE(RegistersConsoleStart("/r"));
    EXPECT_FALSE(RegistersConsoleStart("/rC"));
    EXPECT_FALSE(RegistersConsoleStart("/run"));
    EXPECT_FALSE(RegistersConsoleStart("/r/rc"));
    EXPECT_FALSE(RegistersConsoleStart("/u"));
}

}  // namespace
