// What the log needs from the operating system and does differently on each:
// its files beside the executable, the thread id, the local clock and the
// texts of error numbers. One implementation per platform folder.
#pragma once

#include <cstddef>
#include <cstdio>

namespace unilog_system {

// Opens "<executable path><suffix>" with the given fopen mode ("r" or "a");
// null when the path cannot be had in full or the file cannot be opened (on
// Linux also a log to append to that is a symbolic link).
std::FILE *OpenBesideExecutable(const char *suffix, const char *mode);

unsigned long CurrentThreadId();

// "YYYY-MM-DD hh:mm:ss.mmm" in local time, terminated and cut to size.
void LocalTimestamp(char *out, std::size_t size);

// The system's text for a last-error number, or "" when it has none.
void SystemErrorText(unsigned long error, char *out, std::size_t size);

// The text for an error code given to "%!e" (an HRESULT), or "" when unknown.
void ErrorCodeText(long code, char *out, std::size_t size);

}  // namespace unilog_system
