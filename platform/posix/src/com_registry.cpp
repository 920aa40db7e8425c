// Reads the file registry that registration writes: one text file per key,
// lines of "name=value", under <root>/CLSID and <root>/ProgID.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/com.h"
#include "platform/com_remote.h"

namespace {

constexpr std::size_t kGuidTextLength = 38;
constexpr std::size_t kMaxKeyFile = 64 * 1024;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool ReadHex(const std::string &text, std::size_t position, int digits, unsigned long *value) {
    *value = 0;
    for (int k = 0; k < digits; ++k) {
        const int digit = HexDigit(text[position + static_cast<std::size_t>(k)]);
        if (digit < 0) return false;
        *value = *value * 16 + static_cast<unsigned long>(digit);
    }
    return true;
}

bool ParseClsid(const std::string &text, CLSID *clsid) {
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') return false;
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
    unsigned long value = 0;
    CLSID parsed{};
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
    *clsid = parsed;
    return true;
}

// The value of the first "name=..." line of a key file.
bool ReadValue(const std::string &path, const std::string &name, std::string *value) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::string line;
    std::size_t total = 0;
    while (std::getline(file, line)) {
        total += line.size() + 1;
        if (total > kMaxKeyFile) return false;
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=') {
            *value = line.substr(name.size() + 1);
            return true;
        }
    }
    return false;
}

// ProgIDs as registration accepts them, so that no text can name a path.
bool SafeProgId(const std::string &progId) {
    if (progId.empty() || progId.size() > 255 || progId[0] == '.') return false;
    for (char c : progId) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::string com_RegistryRoot() {
    const char *root = std::getenv("BRISVALE_COM_REGISTRY");
    if (root != nullptr && root[0] != '\0') return root;
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/share/brisvale-com";
    return std::string();
}

std::string com_ClsidText(REFCLSID clsid) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    return text;
}

bool com_LocalServerCommand(REFCLSID clsid, std::string *commandLine) {
    const std::string root = com_RegistryRoot();
    if (root.empty()) return false;
    return ReadValue(root + "/CLSID/" + com_ClsidText(clsid), "LocalServer32", commandLine) && !commandLine->empty();
}

HRESULT CLSIDFromProgID(const OLECHAR *progId, CLSID *clsid) {
    if (progId == nullptr || clsid == nullptr) return E_INVALIDARG;
    std::string narrow;
    for (; *progId != 0; ++progId) {
        if (*progId > 0x7E || narrow.size() > 255) return CO_E_CLASSSTRING;
        narrow += static_cast<char>(*progId);
    }
    const std::string root = com_RegistryRoot();
    std::string classText;
    if (root.empty() || !SafeProgId(narrow) || !ReadValue(root + "/ProgID/" + narrow, "CLSID", &classText))
        return CO_E_CLASSSTRING;
    return ParseClsid(classText, clsid) ? S_OK : CO_E_CLASSSTRING;
}
