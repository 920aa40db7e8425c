// The Windows registry: the server's keys under HKEY_CLASSES_ROOT. Results are
// the system's error numbers.
#include <windows.h>

#include <cstring>
#include <string>

#include "guid_text.h"
#include "registry_common.h"

namespace {

std::string ClassKey(const std::string &classText) {
    return std::string(kClsidKey) + "\\" + classText;
}

// Creates the key and sets its default value unless value is null.
LONG SetDefault(const std::string &key, const char *value) {
    HKEY handle = nullptr;
    LONG error = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, &handle, nullptr);
    if (error != ERROR_SUCCESS) return error;
    if (value != nullptr) {
        error = RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                               static_cast<DWORD>(std::strlen(value) + 1));
    }
    RegCloseKey(handle);
    return error;
}

bool KeyExists(const std::string &key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

// The key's default value; ERROR_FILE_NOT_FOUND when the key or the value is missing.
LONG ReadDefault(const std::string &key, std::string *value) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LONG error = RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size);
        if (error != ERROR_SUCCESS) return error;
        std::string buffer(size + 1, '\0');
        size = static_cast<DWORD>(buffer.size());
        error = RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, &buffer[0], &size);
        if (error == ERROR_MORE_DATA) continue;  // it grew in between
        if (error != ERROR_SUCCESS) return error;
        value->assign(buffer.c_str());
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

// Deletes the ProgID's key if it names the class.
LONG RemoveProgIdOf(const std::string &progId, const std::string &classText) {
    std::string named;
    const LONG error = ReadDefault(progId + "\\" + kClsidKey, &named);
    if (error != ERROR_SUCCESS) return error;
    if (named != classText) return ERROR_FILE_NOT_FOUND;
    return RegDeleteTreeA(HKEY_CLASSES_ROOT, progId.c_str());
}

// A missing value reads as empty; other failures are reported.
LONG ReadOptional(const std::string &key, std::string *value) {
    const LONG error = ReadDefault(key, value);
    if (error == ERROR_FILE_NOT_FOUND) {
        value->clear();
        return ERROR_SUCCESS;
    }
    return error;
}

}  // namespace

int RegisterServer(const CLSID *clsid, const char *progId, const char *description, const char *exePath) {
    if (clsid == nullptr || !ValidProgId(progId) || !ValidRegistryText(description) || !ValidRegistryText(exePath))
        return ERROR_INVALID_PARAMETER;
    const std::string classText = GuidText(*clsid);
    const std::string classKey = ClassKey(classText);
    std::string previousProgId;
    if (ReadDefault(classKey + "\\" + kProgIdKey, &previousProgId) == ERROR_SUCCESS && previousProgId != progId &&
        ValidProgId(previousProgId.c_str())) {
        // The class changes its ProgID: the old one must not lead to it any more.
        RemoveProgIdOf(previousProgId, classText);
    }

    LONG error = SetDefault(classKey, description);
    if (error == ERROR_SUCCESS) error = SetDefault(classKey + "\\" + kLocalServerKey, exePath);
    if (error == ERROR_SUCCESS) error = SetDefault(classKey + "\\" + kProgIdKey, progId);
    for (const char *category : kOpcServerCategories) {
        if (error == ERROR_SUCCESS) error = SetDefault(classKey + "\\" + kCategoriesKey + "\\" + category, nullptr);
    }
    if (error == ERROR_SUCCESS) error = SetDefault(progId, description);
    if (error == ERROR_SUCCESS) error = SetDefault(std::string(progId) + "\\" + kClsidKey, classText.c_str());
    return static_cast<int>(error);
}

int UnregisterServer(const CLSID *clsid, const char *progId) {
    if (clsid == nullptr || !ValidProgId(progId)) return ERROR_INVALID_PARAMETER;
    const std::string classText = GuidText(*clsid);
    return RemoveBoth(
        ERROR_FILE_NOT_FOUND,
        [&] { return static_cast<int>(RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey(classText).c_str())); },
        [&] { return static_cast<int>(RemoveProgIdOf(progId, classText)); });
}

int ReadServer(const CLSID *clsid, std::string (&values)[3]) {
    if (clsid == nullptr) return ERROR_INVALID_PARAMETER;
    const std::string classKey = ClassKey(GuidText(*clsid));
    if (!KeyExists(classKey)) return ERROR_FILE_NOT_FOUND;
    LONG error = ReadOptional(classKey, &values[0]);
    if (error == ERROR_SUCCESS) error = ReadOptional(classKey + "\\" + kLocalServerKey, &values[1]);
    if (error == ERROR_SUCCESS) error = ReadOptional(classKey + "\\" + kProgIdKey, &values[2]);
    return static_cast<int>(error);
}

int ReadProgId(const char *progId, CLSID *clsid) {
    if (clsid == nullptr || !ValidProgId(progId)) return ERROR_INVALID_PARAMETER;
    std::string classText;
    const LONG error = ReadDefault(std::string(progId) + "\\" + kClsidKey, &classText);
    if (error != ERROR_SUCCESS) return static_cast<int>(error);
    return ParseGuid(classText, clsid) ? 0 : ERROR_INVALID_DATA;
}
