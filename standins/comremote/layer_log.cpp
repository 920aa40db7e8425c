#include "layer_log.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace comremote {

namespace {

// Refusals come as fast as a client asks again: a burst of warnings is
// written, then one a second; the next line written counts those left out.
constexpr double kWarningBurst = 50;
constexpr double kWarningsPerSecond = 1;

struct WarningBudget {
    std::mutex lock;
    double left = kWarningBurst;
    std::chrono::steady_clock::time_point filled = std::chrono::steady_clock::now();
    unsigned long leftOut = 0;
};

// 0 or more lines left out before this one; -1: leave this one out too.
long TakeWarning() {
    static WarningBudget *const budget = new WarningBudget;  // never destroyed: threads may log at exit
    std::lock_guard<std::mutex> held(budget->lock);
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - budget->filled).count();
    budget->left = std::min(kWarningBurst, budget->left + seconds * kWarningsPerSecond);
    budget->filled = now;
    if (budget->left < 1) {
        ++budget->leftOut;
        return -1;
    }
    budget->left -= 1;
    const long before = static_cast<long>(budget->leftOut);
    budget->leftOut = 0;
    return before;
}

}  // namespace

void LayerLog(unilog_Level level, const char *format, ...) {
    const long leftOut = level == UL_WARNING ? TakeWarning() : 0;
    if (leftOut < 0) return;
    char text[1024];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (leftOut > 0 && length >= 0 && static_cast<std::size_t>(length) < sizeof text)
        std::snprintf(text + length, sizeof text - length, " (%ld like it left out before)", leftOut);
    unilog *log = unilog_Create("brisvale-com", nullptr, nullptr, -1, UL_MESSAGE);
    switch (level) {
        case UL_ERROR:
            unilog_ERROR(log, 0, "%s", text);
            break;
        case UL_WARNING:
            unilog_WARNING(log, 0, "%s", text);
            break;
        default:
            unilog_MESSAGE(log, 0, "%s", text);
            break;
    }
    unilog_Delete(log);
}

std::string Narrow(const std::wstring &text) {
    std::string narrow;
    for (const wchar_t c : text) narrow += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return narrow;
}

}  // namespace comremote
