#include "registry_common.h"

#include <cerrno>
#include <cstring>

bool ValidRegistryText(const char *text) {
    return text != nullptr && std::strchr(text, '\n') == nullptr && std::strchr(text, '\r') == nullptr;
}

bool ValidProgId(const char *progId) {
    if (progId == nullptr || progId[0] == '\0' || progId[0] == '.') return false;
    std::size_t length = 0;
    for (const char *c = progId; *c != '\0'; ++c, ++length) {
        const bool allowed = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                             *c == '.' || *c == '_' || *c == '-';
        if (!allowed || length >= 255) return false;
    }
    return true;
}

int CopyWhole(const std::string &text, char *buffer, unsigned size) {
    if (buffer == nullptr) return 0;
    if (text.size() >= size) {
        if (size > 0) buffer[0] = '\0';
        return ERANGE;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}
