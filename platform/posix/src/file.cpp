#include "platform/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <string>

namespace {

// False when a character has no narrow form at all.
bool Encode(const wchar_t *path, std::string &narrow) {
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (; *path != L'\0'; ++path) {
        const std::size_t used = std::wcrtomb(bytes, *path, &state);
        if (used != static_cast<std::size_t>(-1)) {
            narrow.append(bytes, used);
        } else if (*path > 0 && *path < 256) {
            narrow.push_back(static_cast<char>(*path));
            state = std::mbstate_t{};
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::FILE *OpenSharedRead(const wchar_t *path) {
    std::string narrow;
    if (!Encode(path, narrow)) {
        errno = EILSEQ;
        return nullptr;
    }
    std::FILE *file = std::fopen(narrow.c_str(), "r");
    if (file == nullptr) return nullptr;
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}
