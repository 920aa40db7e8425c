#include "layer_log.h"

#include <cstdarg>
#include <cstdio>

namespace comremote {

void LayerLog(unilog_Level level, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
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
