#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01 (UTC).
constexpr std::uint64_t kEpochDifference = 116444736000000000ULL;
}  // namespace

void GetSystemTimeAsFileTime(FILETIME *now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t units = kEpochDifference + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL +
                                static_cast<std::uint64_t>(ts.tv_nsec) / 100;
    now->dwLowDateTime = static_cast<DWORD>(units);
    now->dwHighDateTime = static_cast<DWORD>(units >> 32);
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal (Ctrl-C) must not shorten the wait: the loop tests its flags itself.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
