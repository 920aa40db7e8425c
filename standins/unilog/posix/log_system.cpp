#include "log_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/com.h"
#include "platform/module.h"
#include "platform/system_message.h"

namespace unilog_system {
namespace {

// strerror_r comes in two flavours; both give the text in the end.
[[maybe_unused]] const char *PickErrorText(int result, const char *buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char *PickErrorText(const char *text, const char *) {
    return text != nullptr ? text : "";
}

void CopyText(const char *text, char *out, std::size_t size) {
    if (size == 0) return;
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
}

}  // namespace

std::FILE *OpenBesideExecutable(const char *suffix, const char *mode) {
    char path[PATH_MAX + 1];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return nullptr;
    // Not inherited by programs the process might start; and the log is never
    // written through a symbolic link, which whoever may write the folder
    // could point at any file of the server's user.
    const int flags = mode[0] == 'a' ? O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW : O_RDONLY;
    const int fd = open((std::string(path) + suffix).c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE *file = fdopen(fd, mode);
    if (file == nullptr) close(fd);
    return file;
}

unsigned long CurrentThreadId() {
    return static_cast<unsigned long>(gettid());
}

void LocalTimestamp(char *out, std::size_t size) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000L);
}

void SystemErrorText(unsigned long error, char *out, std::size_t size) {
    char buffer[256] = "";
    CopyText(PickErrorText(strerror_r(static_cast<int>(error), buffer, sizeof buffer), buffer), out, size);
}

void ErrorCodeText(long code, char *out, std::size_t size) {
    // The COM layer's own texts, all plain ASCII.
    std::basic_string<OLECHAR> text;
    std::string narrow;
    if (SystemMessageText(static_cast<HRESULT>(code), &text)) {
        for (const OLECHAR c : text) narrow += static_cast<char>(c);
    }
    CopyText(narrow.c_str(), out, size);
}

}  // namespace unilog_system
