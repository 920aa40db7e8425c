#include "log_file.h"

#include "log_system.h"

namespace unilog_file {
namespace {
constexpr char kLogSuffix[] = ".log";
// Text mode: each line ends in the platform's own line end.
constexpr char kAppendMode[] = "a";
// Holds the longest line, so that each line leaves in one write.
constexpr std::size_t kBufferSize = 16384;
}  // namespace

std::shared_ptr<LogFile> LogFile::OpenBesideExecutable() {
    std::FILE *file = unilog_system::OpenBesideExecutable(kLogSuffix, kAppendMode);
    if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, kBufferSize);
    return std::make_shared<LogFile>(file);
}

LogFile::~LogFile() {
    if (file_ != nullptr) std::fclose(file_);
}

void LogFile::WriteLine(const char *levelName, const char *text) {
    if (file_ == nullptr) return;
    const unsigned long thread = unilog_system::CurrentThreadId();
    std::lock_guard<std::mutex> hold(lock_);
    char time[64];
    unilog_system::LocalTimestamp(time, sizeof time);
    std::fprintf(file_, "%s %s [%lu] %s\n", time, levelName, thread, text);
    // A full disk must not keep later lines from being tried.
    if (std::fflush(file_) != 0) std::clearerr(file_);
}

}  // namespace unilog_file
