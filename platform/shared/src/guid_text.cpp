#include "platform/guid_text.h"

#include <cstdio>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads digits hexadecimal digits at text[position]; false on a non-digit.
bool ReadHex(const std::string &text, std::size_t position, int digits, unsigned long *value) {
    *value = 0;
    for (int k = 0; k < digits; ++k) {
        const int digit = HexDigit(text[position + k]);
        if (digit < 0) return false;
        *value = *value * 16 + static_cast<unsigned long>(digit);
    }
    return true;
}

}  // namespace

std::string GuidText(const GUID &guid) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuid(const std::string &text, GUID *guid) {
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return false;
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
    unsigned long value = 0;
    GUID parsed{};
    if (!ReadHex(text, 1, 8, &value)) return false;
    parsed.Data1 = static_cast<DWORD>(value);
    if (!ReadHex(text, 10, 4, &value)) return false;
    parsed.Data2 = static_cast<WORD>(value);
    if (!ReadHex(text, 15, 4, &value)) return false;
    parsed.Data3 = static_cast<WORD>(value);
    static const std::size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int k = 0; k < 8; ++k) {
        if (!ReadHex(text, kBytePositions[k], 2, &value)) return false;
        parsed.Data4[k] = static_cast<BYTE>(value);
    }
    *guid = parsed;
    return true;
}
