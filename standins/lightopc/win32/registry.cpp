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

constexpr const char *kAppIdKey = "AppID";

std::string ClassKey(const std::string &classText) {
    return std::string(kClsidKey) + "\\" + classText;
}

std::string AppIdKey(const std::string &name) {
    return std::string(kAppIdKey) + "\\" + name;
}

// Deletes the key if its CLSID names the class.
LONG RemoveIfNaming(const std::string &key, const std::string &classText) {
    std::string named;
    const LONG error = ReadDefault(key + "\\" + kClsidKey, &named);
    if (error != ERROR_SUCCESS) return error;
    if (named != classText) return ERROR_FILE_NOT_FOUND;
    return DeleteTree(key);
}

// The executable's file name in a local-server command line; empty if none.
std::string ExeName(const std::string &commandLine) {
    const bool quoted = !commandLine.empty() && commandLine[0] == '"';
    const std::string path = commandLine.substr(quoted ? 1 : 0, commandLine.find(quoted ? '"' : ' ', 1) - quoted);
    const std::string::size_type slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Deletes the executable's AppID mapping if it leads to the class.
void RemoveExeMappingOf(const std::string &exeName, const std::string &classText) {
    std::string named;
    if (!exeName.empty() && ReadValue(AppIdKey(exeName), kAppIdKey, &named) == ERROR_SUCCESS && named == classText)
        DeleteTree(AppIdKey(exeName));
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

// Every key of the registration, each change recorded in changes.
LONG WriteServer(RegistryChanges *changes, const std::string &classText, const char *progId,
                 const std::string &independent, const char *description, const char *exePath) {
    const std::string classKey = ClassKey(classText);
    LONG error = ERROR_SUCCESS;
    // Class keys in both views, so that 32-bit clients and browsers find the class too.
    for (const View view : kBothViews) {
        const auto set = [&](const std::string &key, const char *name, const char *value) {
            if (error == ERROR_SUCCESS) error = changes->Set(view, key, name, value);
        };
        set(classKey, nullptr, description);
        set(classKey, kAppIdKey, classText.c_str());
        set(classKey + "\\" + kLocalServerKey, nullptr, exePath);
        set(classKey + "\\" + kProgIdKey, nullptr, progId);
        if (!independent.empty()) set(classKey + "\\" + kIndependentProgIdKey, nullptr, independent.c_str());
        for (const char *category : kOpcServerCategories)
            set(classKey + "\\" + kCategoriesKey + "\\" + category, nullptr, nullptr);
    }
    // ProgIDs and AppIDs once, in the view both kinds of process share.
    const auto set = [&](const std::string &key, const char *name, const char *value) {
        if (error == ERROR_SUCCESS) error = changes->Set(View::kDefault, key, name, value);
    };
    set(progId, nullptr, description);
    set(std::string(progId) + "\\" + kClsidKey, nullptr, classText.c_str());
    set(std::string(progId) + "\\OPC\\Vendor", nullptr, kOpcVendorName);
    if (!independent.empty()) {
        set(independent, nullptr, description);
        set(independent + "\\" + kClsidKey, nullptr, classText.c_str());
        set(independent + "\\CurVer", nullptr, progId);
    }
    // DCOM configuration tools list the server by its AppID, found from the executable's name.
    set(AppIdKey(classText), nullptr, description);
    const std::string exeName = ExeName(exePath);
    if (!exeName.empty()) set(AppIdKey(exeName), kAppIdKey, classText.c_str());
    if (error == ERROR_SUCCESS) error = RegisterMissingProxies(changes);
    return error;
}

}  // namespace

int RegisterServer(const CLSID *clsid, const char *progId, const char *description, const char *exePath) {
    if (clsid == nullptr || !ValidProgId(progId) || !ValidRegistryText(description) || !ValidRegistryText(exePath))
        return ERROR_INVALID_PARAMETER;
    const std::string classText = GuidText(*clsid);
    std::string previousProgId;
    if (ReadDefault(ClassKey(classText) + "\\" + kProgIdKey, &previousProgId) != ERROR_SUCCESS ||
        previousProgId == progId || !ValidProgId(previousProgId.c_str()))
        previousProgId.clear();
    std::string previousCommand;
    ReadDefault(ClassKey(classText) + "\\" + kLocalServerKey, &previousCommand);
    RegistryChanges changes;
    const LONG error = WriteServer(&changes, classText, progId, VersionIndependentProgId(progId), description, exePath);
    if (error != ERROR_SUCCESS) {
        changes.Undo();
        return static_cast<int>(error);
    }
    // A renamed executable: its old name must not lead to the class any more.
    if (ExeName(previousCommand) != ExeName(exePath)) RemoveExeMappingOf(ExeName(previousCommand), classText);
    // The class changed its ProgID: the old ones must not lead to it any more.
    if (!previousProgId.empty()) {
        RemoveIfNaming(previousProgId, classText);
        const std::string previousIndependent = VersionIndependentProgId(previousProgId.c_str());
        if (!previousIndependent.empty() && previousIndependent != VersionIndependentProgId(progId))
            RemoveIfNaming(previousIndependent, classText);
    }
    return 0;
}

int UnregisterServer(const CLSID *clsid, const char *progId) {
    if (clsid == nullptr || !ValidProgId(progId)) return ERROR_INVALID_PARAMETER;
    const std::string classText = GuidText(*clsid);
    const LONG proxies = UnregisterOurProxies();
    std::string commandLine;
    for (const View view : kBothViews) {
        if (commandLine.empty()) ReadDefault(ClassKey(classText) + "\\" + kLocalServerKey, &commandLine, view);
    }
    const int result = RemoveBoth(
        ERROR_FILE_NOT_FOUND,
        [&] {
            int removed = ERROR_FILE_NOT_FOUND;
            for (const View view : kBothViews) {
                const LONG error = DeleteTree(ClassKey(classText), view);
                if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return static_cast<int>(error);
                if (error == ERROR_SUCCESS) removed = 0;
            }
            return removed;
        },
        [&] {
            const std::string independent = VersionIndependentProgId(progId);
            if (!independent.empty()) RemoveIfNaming(independent, classText);
            return static_cast<int>(RemoveIfNaming(progId, classText));
        });
    // The AppID keys go with the class; the executable's name only where it leads to this class.
    DeleteTree(AppIdKey(classText));
    RemoveExeMappingOf(ExeName(commandLine), classText);
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
