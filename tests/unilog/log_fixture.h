// Runs each test against a clean "<test executable>.log" and reads it back.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

// ECMAScript regular expressions on both targets (GoogleTest's own are
// reduced on Windows).
MATCHER_P(FullyMatches, pattern, std::string("matches ") + pattern) {
    return std::regex_match(std::string(arg), std::regex(pattern));
}

struct LogRecord {
    std::string time;
    std::string level;
    unsigned long thread = 0;
    std::string text;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveFiles(); }
    void TearDown() override { RemoveFiles(); }

    static std::string ExecutablePath();
    static std::string LogPath() { return ExecutablePath() + ".log"; }
    static std::string SettingsPath() { return ExecutablePath() + ".log.cfg"; }
    static void WriteSettings(const std::string &text);
    static void RemoveSettings();
    static void RemoveFiles();

    // Every line of the log, its line end removed; each line that is not a
    // well-formed record fails the test.
    static std::vector<LogRecord> Records();
    static std::vector<std::string> Texts();
    static std::vector<std::string> Levels();
};
