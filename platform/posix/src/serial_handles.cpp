#include "serial_handles.h"

#include <cerrno>
#include <cstdint>
#include <mutex>

namespace serial_handles {
namespace {

constexpr int kMaxOpenPorts = 64;

struct Slot {
    bool used;
    int fd;
    COMMTIMEOUTS timeouts;
};

// Plain static storage: usable from static destructors at process exit.
std::mutex lock;
Slot slots[kMaxOpenPorts];

int FdOf(HANDLE handle) {
    const std::intptr_t value = reinterpret_cast<std::intptr_t>(handle);
    return value < 0 || value > INT32_MAX ? -1 : static_cast<int>(value);
}

Slot *FindLocked(HANDLE handle) {
    const int fd = FdOf(handle);
    if (fd >= 0) {
        for (Slot &slot : slots) {
            if (slot.used && slot.fd == fd) return &slot;
        }
    }
    errno = EBADF;
    return nullptr;
}

}  // namespace

bool Add(int fd, HANDLE *handle) {
    std::lock_guard<std::mutex> guard(lock);
    for (Slot &slot : slots) {
        if (!slot.used) {
            slot = Slot{true, fd, COMMTIMEOUTS{}};
            *handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
            return true;
        }
    }
    errno = EMFILE;
    return false;
}

bool Find(HANDLE handle, int *fd, COMMTIMEOUTS *timeouts) {
    std::lock_guard<std::mutex> guard(lock);
    const Slot *slot = FindLocked(handle);
    if (slot == nullptr) return false;
    *fd = slot->fd;
    if (timeouts != nullptr) *timeouts = slot->timeouts;
    return true;
}

bool StoreTimeouts(HANDLE handle, const COMMTIMEOUTS &timeouts) {
    std::lock_guard<std::mutex> guard(lock);
    Slot *slot = FindLocked(handle);
    if (slot == nullptr) return false;
    slot->timeouts = timeouts;
    return true;
}

bool Remove(HANDLE handle, int *fd) {
    std::lock_guard<std::mutex> guard(lock);
    Slot *slot = FindLocked(handle);
    if (slot == nullptr) return false;
    *fd = slot->fd;
    slot->used = false;
    return true;
}

}  // namespace serial_handles
