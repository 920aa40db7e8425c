#include "log_fixture.h"

#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/module.h"

namespace fs = std::filesystem;

std::string LogTest::ExecutablePath() {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

void LogTest::WriteSettings(const std::string &text) {
    std::ofstream settings(SettingsPath(), std::ios::binary | std::ios::trunc);
    settings << text;
    ASSERT_TRUE(settings.good());
}

void LogTest::RemoveSettings() {
    std::error_code ignored;
    fs::remove(SettingsPath(), ignored);
}

void LogTest::RemoveFiles() {
    std::error_code ignored;
    fs::remove_all(LogPath(), ignored);
    RemoveSettings();
}

std::vector<LogRecord> LogTest::Records() {
    static const std::regex kRecord(
        R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[(\d+)\] ([^\r\n]*)$)");
    std::vector<LogRecord> records;
    std::ifstream log(LogPath(), std::ios::binary);
    std::string line;
    while (std::getline(log, line)) {
        // The Windows target writes CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::smatch parts;
        if (!std::regex_match(line, parts, kRecord)) {
            ADD_FAILURE() << "malformed log line: <" << line << ">";
            continue;
        }
        records.push_back({parts[1], parts[2], std::stoul(parts[3]), parts[4]});
    }
    return records;
}

std::vector<std::string> LogTest::Texts() {
    std::vector<std::string> texts;
    for (const LogRecord &record : Records()) texts.push_back(record.text);
    return texts;
}

std::vector<std::string> LogTest::Levels() {
    std::vector<std::string> levels;
    for (const LogRecord &record : Records()) levels.push_back(record.level);
    return levels;
}
