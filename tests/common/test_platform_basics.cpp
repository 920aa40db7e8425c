// The platform calls that every subsystem leans on: the clock is the current
// UTC time, the module path and the narrow conversion never write past the
// caller's buffer, on both targets.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/module.h"
#include "platform/text.h"

namespace {

// The path itself: the files the black-box runs find beside the server.
TEST(ModulePath, ReportsAShortBufferBySizeWithoutOverrun) {
    char narrow[16];
    // A path that does not fit is reported by a result equal to the size. Not every
    // implementation terminates the cut text, so callers terminate it themselves.
    std::memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, 8), 8u);
    EXPECT_EQ(narrow[8], 'x');
}

TEST(Clock, FileTimeIsTheCurrentUtcTimeIn100nsSince1601) {
    FILETIME ft{};
    const std::time_t before = std::time(nullptr);
    GetSystemTimeAsFileTime(&ft);
    const std::time_t after = std::time(nullptr);
    const long long units = (static_cast<long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const long long seconds = units / 10000000LL - 11644473600LL;
    EXPECT_GE(seconds, static_cast<long long>(before) - 1);
    EXPECT_LE(seconds, static_cast<long long>(after) + 1);
}

TEST(NarrowText, OutputThatDoesNotFitIsRefused) {
    char out[4];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abcdef", -1, out, sizeof out, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
