#include "log_system.h"

#include <stdio.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace unilog_system {
namespace {

// The longest path Windows hands out, in UTF-16 units.
constexpr DWORD kLongestPath = 32768;

void MessageText(DWORD code, char *out, std::size_t size) {
    if (size == 0) return;
    const DWORD capacity = size > 0xFFFF ? 0xFFFF : static_cast<DWORD>(size);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, out,
                                  capacity, nullptr);
    if (length >= capacity) length = capacity - 1;
    // The system's texts end in a line break.
    while (length > 0 && std::strchr(" \t\r\n", out[length - 1]) != nullptr) --length;
    out[length] = '\0';
}

}  // namespace

std::FILE *OpenBesideExecutable(const char *suffix, const char *mode) {
    // The wide path reaches the file even where the ANSI code page cannot spell it.
    std::vector<wchar_t> path(kLongestPath);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), kLongestPath);
    if (length == 0 || length >= kLongestPath) return nullptr;
    std::wstring name(path.data(), length);
    for (const char *c = suffix; *c != '\0'; ++c) name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    std::wstring wideMode;
    for (const char *c = mode; *c != '\0'; ++c) wideMode += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return _wfopen(name.c_str(), wideMode.c_str());
}

unsigned long CurrentThreadId() {
    return GetCurrentThreadId();
}

void LocalTimestamp(char *out, std::size_t size) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond, now.wMilliseconds);
}

void SystemErrorText(unsigned long error, char *out, std::size_t size) {
    MessageText(static_cast<DWORD>(error), out, size);
}

void ErrorCodeText(long code, char *out, std::size_t size) {
    MessageText(static_cast<DWORD>(code), out, size);
}

}  // namespace unilog_system
