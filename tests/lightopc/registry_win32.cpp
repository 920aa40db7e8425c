// The Windows registry: the Wine prefix's.
#include <windows.h>

#include <string>

namespace {

// "name=<default value>" for a key that exists under parent ("@": parent itself).
std::string Entry(const std::string &parent, const std::string &name) {
    HKEY key = nullptr;
    const std::string path = name == "@" ? parent : parent + "\\" + name;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char value[256] = {};
    DWORD size = sizeof value - 1;
    RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    return name + "=" + value + "\n";
}

}  // namespace

std::string Recorded(const std::string &classText, const std::string &progId) {
    std::string text;
    for (const char *name : {"@", "LocalServer32", "ProgID", "VersionIndependentProgID",
                             "Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
                             "Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
                             "Implemented Categories\\{CC603642-66D7-48F1-B69A-B625E73652D7}"})
        text += Entry("CLSID\\" + classText, name);
    for (const char *name : {"@", "CLSID"}) text += Entry(progId, name);
    return text;
}
