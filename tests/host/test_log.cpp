#include "test_log.h"

#include <cstdio>
#include <regex>

#include "log_handle.h"
#include "platform/module.h"
#include "server_identity.h"

namespace {
std::string ExePath() {
    char path[4096] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string LogPath() {
    return ExePath() + ".log";
}

long FileSize(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    return size;
}
}  // namespace

void TestLog::Open() {
    const std::string settings = ExePath() + ".log.cfg";
    if (std::FILE *file = std::fopen(settings.c_str(), "w")) {
        std::fputs("level=5\n", file);
        std::fclose(file);
    }
    std::remove(LogPath().c_str());
    log_handle = unilog_Create(kProgId, "|Brisvale OPC", "%!T", -1, 3);
}

void TestLog::Close() {
    unilog_Delete(log_handle);
    log_handle = nullptr;
}

void TestLog::Mark() {
    offset_ = FileSize(LogPath());
}

std::vector<LogLine> TestLog::Lines() const {
    std::vector<LogLine> lines;
    std::FILE *file = std::fopen(LogPath().c_str(), "rb");
    if (file == nullptr) return lines;
    std::fseek(file, offset_, SEEK_SET);
    static const std::regex kLine(R"(^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*)$)");
    std::string line;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (c == '\r') continue;
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        std::smatch match;
        if (std::regex_match(line, match, kLine)) lines.push_back({match[1], match[2]});
        line.clear();
    }
    std::fclose(file);
    return lines;
}

int TestLog::Count(const std::string &level, const std::string &text) const {
    int count = 0;
    for (const LogLine &line : Lines()) count += line.level == level && line.text == text;
    return count;
}

int TestLog::CountPrefix(const std::string &level, const std::string &prefix) const {
    int count = 0;
    for (const LogLine &line : Lines()) count += line.level == level && line.text.rfind(prefix, 0) == 0;
    return count;
}
