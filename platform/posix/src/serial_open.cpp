// Opening and closing serial devices.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "platform/module.h"
#include "platform/serial.h"
#include "serial_handles.h"

namespace {

constexpr std::size_t kPathCapacity = PATH_MAX + 1;
constexpr unsigned long kMaxPortNumber = 255;

// The n of "COMn" or "\\.\COMn" (any letter case), or 0 for another name.
unsigned long PortNumber(LPCWSTR name) {
    if (std::wcsncmp(name, L"\\\\.\\", 4) == 0) name += 4;
    if (std::towupper(name[0]) != L'C' || std::towupper(name[1]) != L'O' || std::towupper(name[2]) != L'M') return 0;
    unsigned long number = 0;
    const wchar_t *digit = name + 3;
    if (*digit < L'1' || *digit > L'9') return 0;
    for (; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9') return 0;
        number = number * 10 + static_cast<unsigned long>(*digit - L'0');
        if (number > kMaxPortNumber) return 0;
    }
    return number;
}

// COMn is the device the link "<executable>.comn" points to, when the link
// exists, or else the n-th on-board serial port.
bool DevicePath(LPCWSTR name, char *path) {
    const unsigned long port = PortNumber(name);
    if (port != 0) {
        char exe[kPathCapacity];
        const DWORD length = GetModuleFileNameA(nullptr, exe, sizeof exe);
        struct stat link;
        if (length > 0 && length < sizeof exe &&
            std::snprintf(path, kPathCapacity, "%s.com%lu", exe, port) < static_cast<int>(kPathCapacity) &&
            lstat(path, &link) == 0) {
            return true;
        }
        std::snprintf(path, kPathCapacity, "/dev/ttyS%lu", port - 1);
        return true;
    }
    std::mbstate_t state{};
    const wchar_t *in = name;
    const std::size_t converted = std::wcsrtombs(path, &in, kPathCapacity, &state);
    if (converted == static_cast<std::size_t>(-1) || in != nullptr) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// One opener at a time. TIOCEXCL does not hold back root; the lock does.
bool TakeExclusively(int fd) {
    if (ioctl(fd, TIOCEXCL) != 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return false;
    }
    return true;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE) {
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING || flagsAndAttributes != 0 ||
        desiredAccess != (GENERIC_READ | GENERIC_WRITE)) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    char path[kPathCapacity];
    if (!DevicePath(fileName, path)) return INVALID_HANDLE_VALUE;

    // Non-blocking for good: a missing carrier must not hold the open, and
    // reads and writes wait in poll with their time-outs.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!TakeExclusively(fd) || !serial_handles::Add(fd, &handle)) {
        const int error = errno;
        close(fd);
        errno = error;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    int fd = -1;
    if (!serial_handles::Remove(handle, &fd)) return FALSE;
    // The exclusive flag belongs to the terminal, not to this descriptor: it
    // would outlive us while anyone else keeps the terminal open.
    ioctl(fd, TIOCNXCL);
    close(fd);
    return TRUE;
}
