// Reads the file registry that registration writes: one text file per key,
// lines of "name=value", under <root>/CLSID and <root>/ProgID. A command
// read from it runs as the reader, so only a registry that nobody else may
// change is read at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/com_remote.h"
#include "platform/guid_text.h"

namespace {

constexpr std::size_t kMaxKeyFile = 64 * 1024;

// Whether a registry folder or file could only have been written by the
// caller or by root: owned by one of them and not writable by group or others.
bool Trusted(const struct stat &info) {
    return (info.st_uid == geteuid() || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// S_OK with the value of the first "name=..." line of a key file,
// REGDB_E_CLASSNOTREG when there is none, E_ACCESSDENIED when the root, the
// key's folder or the file may have been written by another user.
HRESULT ReadValue(const std::string &root, const std::string &key, const std::string &name, std::string *value) {
    struct stat info {};
    for (const std::string &folder : {root, root + "/" + key.substr(0, key.find('/'))}) {
        if (lstat(folder.c_str(), &info) != 0) return REGDB_E_CLASSNOTREG;
        if (!S_ISDIR(info.st_mode) || !Trusted(info)) return E_ACCESSDENIED;
    }
    const int fd = open((root + "/" + key).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? REGDB_E_CLASSNOTREG : E_ACCESSDENIED;
    std::string text;
    HRESULT result = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && Trusted(info) ? S_OK : E_ACCESSDENIED;
    char chunk[4096];
    while (result == S_OK && text.size() <= kMaxKeyFile) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (result != S_OK) return result;
    if (text.size() > kMaxKeyFile) return REGDB_E_CLASSNOTREG;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end - start > name.size() && text.compare(start, name.size(), name) == 0 &&
            text[start + name.size()] == '=') {
            *value = text.substr(start + name.size() + 1, end - start - name.size() - 1);
            return S_OK;
        }
        start = end + 1;
    }
    return REGDB_E_CLASSNOTREG;
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
    std::string root;
    const char *named = std::getenv("BRISVALE_COM_REGISTRY");
    const char *home = std::getenv("HOME");
    if (named != nullptr && named[0] != '\0') {
        root = named;
    } else if (home != nullptr && home[0] != '\0') {
        root = std::string(home) + "/.local/share/brisvale-com";
    } else {
        return root;
    }
    // One registry, one name: however the environment spells it (relative,
    // with a trailing "/", through a link), every process of the user names
    // it alike, and so finds the same server.
    char real[PATH_MAX];
    if (realpath(root.c_str(), real) != nullptr) return real;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(root, error);
    if (error) return std::string();
    std::string normal = absolute.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

HRESULT com_LocalServerCommand(REFCLSID clsid, std::string *commandLine) {
    const std::string root = com_RegistryRoot();
    if (root.empty()) return REGDB_E_CLASSNOTREG;
    const HRESULT result = ReadValue(root, "CLSID/" + GuidText(clsid), "LocalServer32", commandLine);
    if (FAILED(result)) return result;
    return commandLine->empty() ? REGDB_E_CLASSNOTREG : S_OK;
}

HRESULT CLSIDFromProgID(const OLECHAR *progId, CLSID *clsid) {
    if (progId == nullptr || clsid == nullptr) return E_INVALIDARG;
    std::string narrow;
    for (; *progId != 0; ++progId) {
        if (*progId > 0x7E || narrow.size() > 255) return CO_E_CLASSSTRING;
        narrow += static_cast<char>(*progId);
    }
    const std::string root = com_RegistryRoot();
    if (root.empty() || !SafeProgId(narrow)) return CO_E_CLASSSTRING;
    std::string classText;
    const HRESULT result = ReadValue(root, "ProgID/" + narrow, "CLSID", &classText);
    if (result == E_ACCESSDENIED) return result;
    if (FAILED(result) || !ParseGuid(classText, clsid)) return CO_E_CLASSSTRING;
    // The class's entry that the name leads to is refused here too, so that
    // the caller learns why before it asks for an instance.
    std::string command;
    return ReadValue(root, "CLSID/" + GuidText(*clsid), "LocalServer32", &command) == E_ACCESSDENIED ? E_ACCESSDENIED
                                                                                                     : S_OK;
}
