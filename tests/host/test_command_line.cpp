#include <gtest/gtest.h>

#include <tuple>

#include "command_line.h"

namespace {

// The cases the black-box runs of the server leave out.
TEST(CommandLine, OptionIsFoundAnywhereTheFirstInOrderWinsAndRcAsksForConsoleStart) {
    using Option = ServerOption;
    const std::tuple<const char *, ServerOption, bool> cases[] = {
        {"x/rcy", Option::Register, true},
        {"/c/u", Option::Unregister, false},
    };
    for (const auto &[argument, option, console_start] : cases) {
        EXPECT_EQ(MatchOption(argument), option) << argument;
        EXPECT_EQ(RegistersConsoleStart(argument), console_start) << argument;
    }
}

}  // namespace
