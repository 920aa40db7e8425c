#include "task_memory.h"

bool ReadClientText(LPCOLESTR text, std::string *utf8) {
    if (text == nullptr) return false;
    std::string out;
    std::size_t k = 0;
    for (; k < kLongestClientText && text[k] != 0; ++k) {
        unsigned long code = static_cast<char16_t>(text[k]);
        if (code >= 0xD800 && code < 0xDC00) {
            const unsigned long low = static_cast<char16_t>(text[k + 1]);
            if (low < 0xDC00 || low >= 0xE000) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++k;
        } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    if (k >= kLongestClientText) return false;
    *utf8 = std::move(out);
    return true;
}

OleString ToOle(const std::string &utf8) {
    OleString out;
    for (std::size_t k = 0; k < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[k]);
        unsigned long code = lead;
        int more = 0;
        if (lead >= 0xF0) {
            code = lead & 0x07;
            more = 3;
        } else if (lead >= 0xE0) {
            code = lead & 0x0F;
            more = 2;
        } else if (lead >= 0xC0) {
            code = lead & 0x1F;
            more = 1;
        }
        ++k;
        for (; more > 0 && k < utf8.size(); --more, ++k) code = (code << 6) | (utf8[k] & 0x3F);
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<OLECHAR>(0xD800 + (code >> 10));
            out += static_cast<OLECHAR>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<OLECHAR>(code);
        }
    }
    return out;
}

LPOLESTR TaskText(const OleString &text) {
    LPOLESTR copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
    return copy;
}

LPOLESTR TaskText(const std::string &utf8) {
    return TaskText(ToOle(utf8));
}
