// The file every log of the process writes to, "<exe>.log", opened for
// appending. Logs share one so that their lines never overwrite each other.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>

namespace unilog_file {

class LogFile {
public:
    // Never null; a file that cannot be opened gives an object that writes nothing.
    static std::shared_ptr<LogFile> OpenBesideExecutable();

    explicit LogFile(std::FILE *file) : file_(file) {}
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    bool IsOpen() const { return file_ != nullptr; }

    // Writes "<time> <levelName> [<thread id>] <text>" and the line end as one
    // piece and flushes it, so that readers never see part of a line. The time
    // is read under the lock: the lines stand in the order of their times.
    void WriteLine(const char *levelName, const char *text);

private:
    std::mutex lock_;
    std::FILE *const file_;
};

}  // namespace unilog_file
