// Reads the file registry that registration writes: one text file per key,
// lines of "name=value", under <root>/CLSID and <root>/ProgID.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/com.h"
#include "platform/com_remote.h"
#include "platform/guid_text.h"

namespace {

constexpr std::size_t kMaxKeyFile = 64 * 1024;

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

bool com_LocalServerCommand(REFCLSID clsid, std::string *commandLine) {
    const std::string root = com_RegistryRoot();
    if (root.empty()) return false;
    return ReadValue(root + "/CLSID/" + GuidText(clsid), "LocalServer32", commandLine) && !commandLine->empty();
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
    return ParseGuid(classText, clsid) ? S_OK : CO_E_CLASSSTRING;
}
