#include "ConfigNumbers.h"

#include <cctype>
#include <limits>

namespace {

constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 31;

bool IsLocaleSpace(unsigned char c) {
    return std::isspace(c) != 0;
}

// Stream extraction skips white space by the classic locale, not by LC_CTYPE.
bool IsClassicSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(unsigned char c, int base) {
    int value = base;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < base ? value : -1;
}

std::int32_t ReadInteger(const char *p, const char *end, int base, bool (*isSpace)(unsigned char)) {
    while (p != end && isSpace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // The magnitude stops growing just past the 32-bit range, so that any
    // length of digits saturates without overflow.
    std::int64_t magnitude = 0;
    for (; p != end; ++p) {
        const int digit = DigitValue(static_cast<unsigned char>(*p), base);
        if (digit < 0) break;
        if (magnitude < kMagnitudeCap) magnitude = magnitude * base + digit;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t ParseDecimal(const std::string &text) {
    return ReadInteger(text.data(), text.data() + text.size(), 10, IsLocaleSpace);
}

std::uint16_t ParseAddress(const std::string &text) {
    const char *begin = text.data();
    const char *end = begin + text.size();
    const bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::int32_t value =
        hex ? ReadInteger(begin + 2, end, 16, IsClassicSpace) : ReadInteger(begin, end, 10, IsClassicSpace);
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}
