// The Windows registry: the server's keys under HKEY_CLASSES_ROOT, with the
// proxy/stub of its OPC interfaces where none is registered. Results are the
// system's error numbers.
#include <windows.h>

#include <string>

#include "platform/guid_text.h"
#include "proxy_registration.h"
#include "registry_common.h"
#include "registry_keys.h"

namespace {

std::string ClassKey(const std::string &classText) {
    return std::string(kClsidKey) + "\\" + classText;
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
    if (error == ERROR_SUCCESS) error = RegisterMissingProxies();
    return static_cast<int>(error);
}

int UnregisterServer(const CLSID *clsid, const char *progId) {
    if (clsid == nullptr || !ValidProgId(progId)) return ERROR_INVALID_PARAMETER;
    const std::string classText = GuidText(*clsid);
    const LONG proxies = UnregisterOurProxies();
    const int result = RemoveBoth(
        ERROR_FILE_NOT_FOUND,
        [&] { return static_cast<int>(RegDeleteTreeA(HKEY_CLASSES_ROOT, ClassKey(classText).c_str())); },
        [&] { return static_cast<int>(RemoveProgIdOf(progId, classText)); });
    return result != 0 ? result : static_cast<int>(proxies);
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
