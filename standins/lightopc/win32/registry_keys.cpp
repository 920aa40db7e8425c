#include "registry_keys.h"

#include <cstring>

namespace {

REGSAM Access(REGSAM access, View view) {
    return access | static_cast<REGSAM>(view);
}

// The first key on the path to key (key itself at the latest) that is missing;
// empty when key exists.
std::string FirstMissing(const std::string &key, View view) {
    for (std::string::size_type end = key.find('\\');; end = key.find('\\', end + 1)) {
        const std::string prefix = key.substr(0, end);
        if (!KeyExists(prefix, view)) return prefix;
        if (end == std::string::npos) return std::string();
    }
}

// A value as it is stored, of any type, unexpanded; false when it cannot be read.
bool ReadStored(const std::string &key, const char *name, View view, DWORD *type, std::string *bytes) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, Access(KEY_READ, view), &handle) != ERROR_SUCCESS)
        return false;
    LONG error = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 4 && error == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        error = RegQueryValueExA(handle, name, nullptr, type, nullptr, &size);
        if (error != ERROR_SUCCESS) break;
        bytes->assign(size, '\0');
        error = RegQueryValueExA(handle, name, nullptr, type, reinterpret_cast<BYTE *>(&(*bytes)[0]), &size);
        if (error == ERROR_SUCCESS) bytes->resize(size);  // else it grew in between
    }
    RegCloseKey(handle);
    return error == ERROR_SUCCESS;
}

}  // namespace

bool KeyExists(const std::string &key, View view) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, Access(KEY_READ, view), &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

LONG ReadValue(const std::string &key, const char *name, std::string *value, View view) {
    HKEY handle = nullptr;
    LONG error = RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, Access(KEY_READ, view), &handle);
    if (error != ERROR_SUCCESS) return error;
    error = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 4 && error == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        error = RegGetValueA(handle, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size);
        if (error != ERROR_SUCCESS) break;
        std::string buffer(size + 1, '\0');
        size = static_cast<DWORD>(buffer.size());
        error = RegGetValueA(handle, nullptr, name, RRF_RT_REG_SZ, nullptr, &buffer[0], &size);
        if (error == ERROR_SUCCESS) value->assign(buffer.c_str());  // else it grew in between
    }
    RegCloseKey(handle);
    return error;
}

LONG DeleteTree(const std::string &key, View view) {
    const std::string::size_type slash = key.rfind('\\');
    if (slash == std::string::npos) return RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    HKEY parent = nullptr;
    LONG error =
        RegOpenKeyExA(HKEY_CLASSES_ROOT, key.substr(0, slash).c_str(), 0, Access(KEY_ALL_ACCESS, view), &parent);
    if (error != ERROR_SUCCESS) return error;
    error = RegDeleteTreeA(parent, key.c_str() + slash + 1);
    RegCloseKey(parent);
    return error;
}

LONG RegistryChanges::Set(View view, const std::string &key, const char *name, const char *value) {
    Change change{view, FirstMissing(key, view), false, name != nullptr ? name : "", name != nullptr, false, 0, {}};
    change.madeKey = !change.key.empty();
    if (!change.madeKey) {
        change.key = key;
        change.hadValue = value != nullptr && ReadStored(key, name, view, &change.oldType, &change.oldValue);
    }
    HKEY handle = nullptr;
    LONG error = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 Access(KEY_WRITE, view), nullptr, &handle, nullptr);
    if (error != ERROR_SUCCESS) return error;
    if (change.madeKey || value != nullptr) changes_.push_back(change);
    if (value != nullptr) {
        error = RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                               static_cast<DWORD>(std::strlen(value) + 1));
    }
    RegCloseKey(handle);
    return error;
}

void RegistryChanges::Undo() {
    for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
        if (change->madeKey) {
            DeleteTree(change->key, change->view);
            continue;
        }
        HKEY handle = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, change->key.c_str(), 0, Access(KEY_WRITE, change->view), &handle) !=
            ERROR_SUCCESS)
            continue;
        const char *name = change->named ? change->name.c_str() : nullptr;
        if (change->hadValue) {
            RegSetValueExA(handle, name, 0, change->oldType, reinterpret_cast<const BYTE *>(change->oldValue.data()),
                           static_cast<DWORD>(change->oldValue.size()));
        } else {
            RegDeleteValueA(handle, name);
        }
        RegCloseKey(handle);
    }
    changes_.clear();
}
