#include "ItemText.h"

#include <algorithm>

#include "ClientIo.h"
#include "JsonText.h"
#include "QualityText.h"
#include "TimeText.h"
#include "ValueText.h"

namespace {

constexpr std::size_t kValueColumns = 6;

}  // namespace

std::size_t Columns(const std::string &utf8) {
    std::size_t count = 0;
    for (const char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

std::string Padded(const std::string &text, std::size_t width) {
    const std::size_t columns = Columns(text);
    return columns >= width ? text : text + std::string(width - columns, ' ');
}

std::vector<std::string> Utf8Names(const std::vector<OleString> &names, std::size_t &widest) {
    std::vector<std::string> utf8;
    widest = 0;
    for (const OleString &name : names) {
        utf8.push_back(Utf8FromOle(name.c_str()));
        widest = std::max(widest, Columns(utf8.back()));
    }
    return utf8;
}

std::string ItemLine(const std::string &name, std::size_t nameWidth, const VARIANT &value, const FILETIME &time,
                     WORD quality) {
    const std::string shown = ValueText(value);
    const std::size_t columns = Columns(shown);
    const std::string aligned = columns >= kValueColumns ? shown : std::string(kValueColumns - columns, ' ') + shown;
    return Padded(name, nameWidth) + "  " + aligned + "  " + TimeText(time) + "  " + QualityText(quality) + "\n";
}

std::string ItemErrorLine(const std::string &name, std::size_t nameWidth, HRESULT error) {
    return Padded(name, nameWidth) + "  error " + ResultText(error) + "\n";
}

std::string ItemJson(const std::string &name, const VARIANT &value, const FILETIME &time, WORD quality) {
    return "{\"name\":" + JsonString(name) + ",\"value\":" + ValueJson(value) +
           ",\"type\":" + JsonString(VarTypeName(V_VT(&value))) + ",\"timestamp\":" + JsonString(TimeText(time)) +
           ",\"quality\":" + std::to_string(quality) + ",\"quality_text\":" + JsonString(QualityText(quality)) + "}";
}

std::string ItemErrorJson(const std::string &name, HRESULT error) {
    return "{\"name\":" + JsonString(name) + ",\"error\":" + JsonString(ResultText(error)) + "}";
}
