#include "OleText.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(OleString &out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<OLECHAR>(c);
    } else {
        c -= 0x10000;
        out += static_cast<OLECHAR>(0xD800 | (c >> 10));
        out += static_cast<OLECHAR>(0xDC00 | (c & 0x3FF));
    }
}

bool IsHigh(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

std::string Utf8FromOle(const OLECHAR *text) {
    std::string out;
    if (text == nullptr) return out;
    for (std::size_t k = 0; text[k] != 0; ++k) {
        const char32_t unit = static_cast<char16_t>(text[k]);
        if (IsHigh(unit) && IsLow(static_cast<char16_t>(text[k + 1]))) {
            const char32_t low = static_cast<char16_t>(text[++k]);
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            AppendUtf8(out, IsHigh(unit) || IsLow(unit) ? kReplacement : unit);
        }
    }
    return out;
}

OleString OleFromUtf8(const std::string &text) {
    OleString out;
    std::size_t k = 0;
    while (k < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[k]);
        unsigned length = 0;
        char32_t c = 0;
        if (lead < 0x80) {
            length = 1;
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
        }
        bool whole = length > 0 && k + length <= text.size();
        for (unsigned n = 1; whole && n < length; ++n) {
            const unsigned char next = static_cast<unsigned char>(text[k + n]);
            whole = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!whole || c < kSmallest[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            AppendUtf16(out, kReplacement);
            ++k;
            continue;
        }
        AppendUtf16(out, c);
        k += length;
    }
    return out;
}
