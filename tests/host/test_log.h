// The test executable's own log, "<exe>.log" at DEBUG level, and a reader for
// the lines written since a mark.
#pragma once

#include <string>
#include <vector>

struct LogLine {
    std::string level;
    std::string text;
};

class TestLog {
public:
    // Creates the server's log handle for this process, every level written.
    static void Open();
    static void Close();

    TestLog() { Mark(); }
    void Mark();
    std::vector<LogLine> Lines() const;
    // Lines at that level whose text is exactly text.
    int Count(const std::string &level, const std::string &text) const;
    // Lines at that level whose text starts with prefix.
    int CountPrefix(const std::string &level, const std::string &prefix) const;

private:
    long offset_ = 0;
};
