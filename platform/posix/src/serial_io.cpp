// Reads and writes bounded by the port's time-outs, purge, and the time-outs
// themselves. The descriptor is non-blocking; every wait happens in poll.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/serial.h"
#include "serial_handles.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

// A limit of 0 means none; so does one too far away to be a time point.
Clock::time_point DeadlineAfter(Clock::time_point start, std::uint64_t ms) {
    if (ms == 0) return kNever;
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(kNever - start).count();
    if (ms >= static_cast<std::uint64_t>(room)) return kNever;
    return start + std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

// multiplier * count + constant, computed wide enough never to wrap.
std::uint64_t TotalMs(DWORD multiplier, DWORD count, DWORD constant) {
    return std::uint64_t{multiplier} * count + constant;
}

// Waits for events until deadline; 0 when it passed, -1 on failure.
int WaitFor(int fd, short events, Clock::time_point deadline, short *revents) {
    for (;;) {
        int waitMs = -1;
        if (deadline != kNever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            waitMs = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) continue;  // the deadline is checked above
        *revents = entry.revents;
        return 1;
    }
}

bool IsNoData(ssize_t n) {
    return n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

bool CheckCall(HANDLE handle, const void *buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped, int *fd,
               COMMTIMEOUTS *timeouts) {
    if (transferred != nullptr) *transferred = 0;
    if (!serial_handles::Find(handle, fd, timeouts)) return false;
    if ((buffer == nullptr && count > 0) || overlapped != nullptr) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD received, LPOVERLAPPED overlapped) {
    int fd = -1;
    COMMTIMEOUTS t{};
    if (!CheckCall(handle, buffer, count, received, overlapped, &fd, &t)) return FALSE;

    // The COMMTIMEOUTS forms: interval MAXDWORD with both totals 0 takes what
    // is there; with multiplier MAXDWORD and a constant below MAXDWORD it
    // returns as soon as anything is there, waiting the constant at most.
    // Otherwise the total limit runs from the start and the interval limit
    // from each byte, beginning with the first.
    const Clock::time_point start = Clock::now();
    Clock::time_point total = kNever;
    bool anyIsEnough = false;
    const DWORD interval = t.ReadIntervalTimeout;
    if (interval == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        total = start;
    } else if (interval == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant != 0 &&
               t.ReadTotalTimeoutConstant != MAXDWORD) {
        anyIsEnough = true;
        total = DeadlineAfter(start, t.ReadTotalTimeoutConstant);
    } else {
        total = DeadlineAfter(start, TotalMs(t.ReadTotalTimeoutMultiplier, count, t.ReadTotalTimeoutConstant));
    }
    Clock::time_point gap = kNever;

    auto *bytes = static_cast<unsigned char *>(buffer);
    DWORD got = 0;
    bool failed = false;
    bool hungUp = false;
    while (got < count) {
        const ssize_t n = read(fd, bytes + got, count - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            if (anyIsEnough) break;
            if (interval != 0) gap = DeadlineAfter(Clock::now(), interval);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (!IsNoData(n) || hungUp) {
            if (hungUp) errno = EIO;
            failed = true;
            break;
        }
        short revents = 0;
        const int ready = WaitFor(fd, POLLIN, std::min(total, gap), &revents);
        if (ready < 0) failed = true;
        if (ready <= 0) break;
        // A hung-up terminal polls readable and reads nothing: what it still
        // holds is taken, then the read fails.
        hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    if (received != nullptr) *received = got;
    return failed ? FALSE : TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    int fd = -1;
    COMMTIMEOUTS t{};
    if (!CheckCall(handle, buffer, count, written, overlapped, &fd, &t)) return FALSE;

    const Clock::time_point deadline =
        DeadlineAfter(Clock::now(), TotalMs(t.WriteTotalTimeoutMultiplier, count, t.WriteTotalTimeoutConstant));
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    DWORD sent = 0;
    while (sent < count) {
        const ssize_t n = write(fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (written != nullptr) *written = sent;
            return FALSE;
        }
        short revents = 0;
        const int ready = WaitFor(fd, POLLOUT, deadline, &revents);
        if (ready < 0) {
            if (written != nullptr) *written = sent;
            return FALSE;
        }
        if (ready == 0) break;
    }
    if (written != nullptr) *written = sent;
    return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    int fd = -1;
    if (!serial_handles::Find(handle, &fd, nullptr)) return FALSE;
    if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) != 0) {
        errno = EINVAL;
        return FALSE;
    }
    // Every read and write is synchronous: there is never one pending to abort.
    if ((flags & PURGE_RXCLEAR) != 0 && tcflush(fd, TCIFLUSH) != 0) return FALSE;
    if ((flags & PURGE_TXCLEAR) != 0 && tcflush(fd, TCOFLUSH) != 0) return FALSE;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    return serial_handles::StoreTimeouts(handle, *timeouts) ? TRUE : FALSE;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    int fd = -1;
    if (timeouts == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    return serial_handles::Find(handle, &fd, timeouts) ? TRUE : FALSE;
}

BOOL IsSerialDeviceLost(DWORD error) {
    return error == EIO || error == ENXIO || error == ENODEV ? TRUE : FALSE;
}
