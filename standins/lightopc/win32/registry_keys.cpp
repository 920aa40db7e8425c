#include "registry_keys.h"

#include <cstring>

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

LONG SetNamed(const std::string &key, const char *name, const char *value) {
    return RegSetKeyValueA(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value,
                           static_cast<DWORD>(std::strlen(value) + 1));
}

bool KeyExists(const std::string &key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

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
