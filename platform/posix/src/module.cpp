#include "platform/module.h"

#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/errors.h"

namespace {
// Any non-null value stands for the executable's own module.
HMODULE const kSelf = reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(1));

// Reads the executable's path into path (size PATH_MAX + 1); false on failure.
bool ReadSelfPath(char *path) {
    const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) return false;
    path[n] = '\0';
    return true;
}

DWORD Finish(DWORD length, DWORD size) {
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    SetLastError(ERROR_SUCCESS);
    return length;
}
}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return kSelf;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    char path[PATH_MAX + 1];
    if ((module != nullptr && module != kSelf) || size == 0 || !ReadSelfPath(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(std::strlen(path));
    const DWORD copied = length < size ? length : size - 1;
    std::memcpy(buffer, path, copied);
    buffer[copied] = '\0';
    return Finish(length, size);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    char path[PATH_MAX + 1];
    if ((module != nullptr && module != kSelf) || size == 0 || !ReadSelfPath(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The path's bytes are decoded in the locale's encoding; a byte that does
    // not decode stands for itself, so the name still reaches the same file.
    std::mbstate_t state{};
    const char *in = path;
    const char *end = path + std::strlen(path);
    DWORD length = 0;
    while (in < end) {
        wchar_t wc = 0;
        std::size_t used = std::mbrtowc(&wc, in, static_cast<std::size_t>(end - in), &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) || used == 0) {
            wc = static_cast<unsigned char>(*in);
            used = 1;
            state = std::mbstate_t{};
        }
        if (length + 1 < size) buffer[length] = wc;
        ++length;
        in += used;
    }
    buffer[length < size ? length : size - 1] = L'\0';
    return Finish(length, size);
}
