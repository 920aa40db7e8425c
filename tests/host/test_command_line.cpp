#include <gtest/gtest.h>

#include "command_line.h"

namespace {

// "/rc" registers for a console start; the black-box runs of the server see
// /r, /u, /c and an unknown option.
TEST(CommandLine, RcRegistersForAConsoleStart) {
    EXPECT_EQ(MatchOption("/rc"), ServerOption::Register);
    EXPECT_TRUE(RegistersConsoleStart("/rc"));
}

}  // namespace
