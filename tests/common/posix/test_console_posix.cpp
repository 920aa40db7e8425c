// Ctrl-C on Linux is SIGINT: it reaches the console handlers, newest first,
// and a handler that declines passes it on.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/console.h"

namespace {

std::atomic<int> firstCalls{0};
std::atomic<int> secondCalls{0};
std::atomic<DWORD> lastEvent{99};

BOOL WINAPI Handles(DWORD type) {
    lastEvent = type;
    ++firstCalls;
    return TRUE;
}

BOOL WINAPI Declines(DWORD) {
    ++secondCalls;
    return FALSE;
}

TEST(ConsoleCtrlHandler, SigintReachesTheNewestHandlerAsCtrlCAndADecliningOnePassesItOn) {
    ASSERT_TRUE(SetConsoleCtrlHandler(Handles, TRUE));
    std::raise(SIGINT);
    std::raise(SIGINT);
    EXPECT_EQ(firstCalls.load(), 2);
    EXPECT_EQ(lastEvent.load(), static_cast<DWORD>(CTRL_C_EVENT));
    ASSERT_TRUE(SetConsoleCtrlHandler(Declines, TRUE));
    std::raise(SIGINT);
    EXPECT_EQ(secondCalls.load(), 1);
    EXPECT_EQ(firstCalls.load(), 3);
    EXPECT_TRUE(SetConsoleCtrlHandler(Declines, FALSE));
    EXPECT_TRUE(SetConsoleCtrlHandler(Handles, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(Handles, FALSE));
}

TEST(ConsoleCtrlHandler, WithoutHandlersSigintHasItsDefaultAction) {
    EXPECT_EXIT(std::raise(SIGINT), testing::KilledBySignal(SIGINT), "");
}

}  // namespace
