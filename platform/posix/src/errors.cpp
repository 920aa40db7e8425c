#include "platform/errors.h"

#include <cerrno>

DWORD GetLastError() {
    return static_cast<DWORD>(errno);
}

void SetLastError(DWORD error) {
    errno = static_cast<int>(error);
}
