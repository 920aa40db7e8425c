// Ctrl-C on Linux is SIGINT: it reaches the console handler as CTRL_C_EVENT.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/console.h"

namespace {

std::atomic<int> calls{0};
std::atomic<DWORD> lastEvent{99};

BOOL WINAPI Handles(DWORD type) {
    lastEvent = type;
    ++calls;
    return TRUE;
}

TEST(ConsoleCtrlHandler, SigintReachesTheHandlerAsCtrlC) {
    ASSERT_TRUE(SetConsoleCtrlHandler(Handles, TRUE));
    std::raise(SIGINT);
    std::raise(SIGINT);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(lastEvent.load(), static_cast<DWORD>(CTRL_C_EVENT));
    EXPECT_TRUE(SetConsoleCtrlHandler(Handles, FALSE));
}

}  // namespace
