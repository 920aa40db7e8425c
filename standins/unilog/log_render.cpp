#include "log_render.h"

#include <cstdio>
#include <cstring>

#include "log_system.h"

namespace unilog_render {
namespace {

constexpr char kFlags[] = "-+ #0";
constexpr char kDigits[] = "0123456789";
constexpr char kConversions[] = "diouxXeEfFgGaAcspCS";
// Longest first, so that "hh" is not taken for "h".
const char *const kLengthModifiers[] = {"I64", "I32", "hh", "ll", "h", "l", "j", "z", "t", "L", "q", "I"};

// Length of the conversion whose '%' stands just before afterPercent, or 0 when none starts there.
std::size_t ConversionLength(const char *afterPercent) {
    if (*afterPercent == '%') return 1;
    const char *c = afterPercent + std::strspn(afterPercent, kFlags);
    c += *c == '*' ? 1 : std::strspn(c, kDigits);
    if (*c == '.') {
        ++c;
        c += *c == '*' ? 1 : std::strspn(c, kDigits);
    }
    for (const char *modifier : kLengthModifiers) {
        const std::size_t length = std::strlen(modifier);
        if (std::strncmp(c, modifier, length) == 0) {
            c += length;
            break;
        }
    }
    if (*c == '\0' || std::strchr(kConversions, *c) == nullptr) return 0;
    return static_cast<std::size_t>(c + 1 - afterPercent);
}

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// Writes the text of a directive at the start of format into out and returns
// the part of format that follows it (format itself when there is none).
const char *RenderDirective(char *out, std::size_t size, unsigned long lastError, const char *format, va_list *args) {
    out[0] = '\0';
    if (format[0] != '%' || format[1] != '!') return format;
    char text[512];
    if (format[2] == 'L') {
        unilog_system::SystemErrorText(lastError, text, sizeof text);
        std::snprintf(out, size, "[%lu]%s%s", lastError, text[0] != '\0' ? " " : "", text);
        return format + 3;
    }
    if (format[2] == 'e') {
        const int code = va_arg(*args, int);
        unilog_system::ErrorCodeText(code, text, sizeof text);
        std::snprintf(out, size, "[0x%08X]%s%s", static_cast<unsigned>(code), text[0] != '\0' ? " " : "", text);
        return format + 3;
    }
    return format;
}

}  // namespace

std::string EscapeStrayPercents(const char *format) {
    std::string escaped;
    escaped.reserve(std::strlen(format) + 8);
    for (const char *c = format; *c != '\0';) {
        if (*c != '%') {
            escaped += *c++;
            continue;
        }
        const std::size_t length = ConversionLength(c + 1);
        if (length == 0) {
            escaped += "%%";
            ++c;
        } else {
            escaped.append(c, length + 1);
            c += length + 1;
        }
    }
    return escaped;
}

void FoldToOneLine(char *text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && IsLineBreak(text[length - 1])) --length;
    text[length] = '\0';

    char *to = text;
    for (const char *from = text; *from != '\0'; ++from) {
        const unsigned char c = static_cast<unsigned char>(*from);
        if (IsLineBreak(*from)) {
            if (*from == '\r' && from[1] == '\n') ++from;
            *to++ = ' ';
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            *to++ = '?';
        } else {
            *to++ = *from;
        }
    }
    *to = '\0';
}

void RenderText(char *out, unsigned long lastError, const char *format, va_list args) {
    // The directive and the rest draw on one list of arguments: it is handed
    // on by address, which is the one portable way.
    va_list arguments;
    va_copy(arguments, args);
    const char *rest = RenderDirective(out, kTextCapacity, lastError, format, &arguments);
    const std::size_t used = std::strlen(out);
    const std::size_t room = kTextCapacity - used;
    const int wanted = std::vsnprintf(out + used, room, EscapeStrayPercents(rest).c_str(), arguments);
    va_end(arguments);
    if (wanted < 0) {
        out[used] = '\0';
    } else if (static_cast<std::size_t>(wanted) >= room) {
        std::memcpy(out + kTextCapacity - sizeof kCutMark, kCutMark, sizeof kCutMark);
    }
    FoldToOneLine(out);
}

}  // namespace unilog_render
