#include "registry_common.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "lightopc.h"

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

std::string VersionIndependentProgId(const char *progId) {
    const std::string text = progId != nullptr ? progId : "";
    const std::string::size_type dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size() ||
        text.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return std::string();
    return text.substr(0, dot);
}

namespace {

// Copies text whole and terminated into buffer (size bytes): 0, or ERANGE when
// it does not fit. A null buffer asks for nothing.
int CopyWhole(const std::string &text, char *buffer, unsigned size) {
    if (buffer == nullptr) return 0;
    if (text.size() >= size) {
        if (size > 0) buffer[0] = '\0';
        return ERANGE;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

// Runs a registry action: its result, or ENOMEM when memory ran out.
template <class Action>
int NoThrow(Action action) {
    try {
        return action();
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

}  // namespace

int loServerRegister(const CLSID *clsid, const char *progId, const char *description, const char *exePath, int) {
    return NoThrow([&] { return RegisterServer(clsid, progId, description, exePath); });
}

int loServerUnregister(const CLSID *clsid, const char *progId) {
    return NoThrow([&] { return UnregisterServer(clsid, progId); });
}

int loServerLookup(const CLSID *clsid, char *description, unsigned descriptionSize, char *commandLine,
                   unsigned commandLineSize, char *progId, unsigned progIdSize) {
    return NoThrow([&] {
        std::string values[3];
        const int error = ReadServer(clsid, values);
        if (error != 0) return error;
        const int copied[3] = {CopyWhole(values[0], description, descriptionSize),
                               CopyWhole(values[1], commandLine, commandLineSize),
                               CopyWhole(values[2], progId, progIdSize)};
        for (int result : copied) {
            if (result != 0) return result;
        }
        return 0;
    });
}

int loProgIdLookup(const char *progId, CLSID *clsid) {
    return NoThrow([&] { return ReadProgId(progId, clsid); });
}
