// The server's log as the tests read it: the lines written to
// "<test executable>.log" since a mark, as (level, text) pairs.
#pragma once

#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "platform/module.h"

using LogLine = std::pair<std::string, std::string>;  // level, text

// A file beside the test executable: its path with suffix appended.
inline std::string BesideExecutable(const char *suffix) {
    char path[4096] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path) + suffix;
}

class ServerLog {
public:
    // Later reads see only the lines written after this.
    void Mark() { offset_ = std::ifstream(BesideExecutable(".log"), std::ios::binary | std::ios::ate).tellg(); }

    std::vector<LogLine> Lines() const {
        static const std::regex kLine(R"(^.*? (ERROR|WARNING|MESSAGE|INFO|DEBUG) \[[0-9]+\] (.*?)\r?$)");
        std::ifstream file(BesideExecutable(".log"), std::ios::binary);
        file.seekg(offset_);
        std::vector<LogLine> lines;
        std::smatch match;
        for (std::string line; std::getline(file, line);) {
            if (std::regex_match(line, match, kLine)) lines.emplace_back(match[1], match[2]);
        }
        return lines;
    }

private:
    std::streamoff offset_ = 0;
};
