#include "socket_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/com_remote.h"
#include "platform/guid_text.h"

namespace comremote {

namespace {

std::uint64_t Fnv1a(const std::string &text) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace

bool LocateClassSocket(REFCLSID clsid, ClassSocket *where, bool runtimeFolder) {
    const std::string root = com_RegistryRoot();
    if (root.empty()) return false;
    // The registry's owner runs its servers; a registry that does not exist
    // yet belongs to whoever will create it.
    struct stat info {};
    where->owner = stat(root.c_str(), &info) == 0 ? info.st_uid : geteuid();
    char name[32];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Fnv1a(root + "\n" + GuidText(clsid))));
    // The same folder for every process of the user, whatever its
    // environment holds: the user's runtime folder where the system made
    // one, else a private folder in /tmp.
    const std::string runtime = "/run/user/" + std::to_string(where->owner);
    struct stat runtimeInfo {};
    std::string folder;
    if (runtimeFolder && lstat(runtime.c_str(), &runtimeInfo) == 0 && S_ISDIR(runtimeInfo.st_mode) &&
        runtimeInfo.st_uid == where->owner && (runtimeInfo.st_mode & 077) == 0)
        folder = runtime + "/brisvale-com";
    const std::size_t limit = sizeof(sockaddr_un{}.sun_path) - 1;
    if (folder.empty() || folder.size() + 1 + std::string(name).size() + 5 > limit)
        folder = "/tmp/brisvale-com-" + std::to_string(where->owner);
    where->folder = folder;
    where->path = folder + "/" + name + ".sock";
    where->startLock = folder + "/" + name + ".start";
    where->bindLock = folder + "/" + name + ".bind";
    return true;
}

bool PrivateFolder(const std::string &folder, uid_t owner, bool create) {
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == owner && (info.st_mode & 077) == 0;
}

int LockFile(const std::string &path, int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        // A holder that was stopped is waited for only within the limit.
        while (flock(fd, milliseconds < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK && std::chrono::steady_clock::now() < deadline;
            if (errno != EINTR && !busy) {
                const int error = errno == EWOULDBLOCK ? ETIMEDOUT : errno;
                close(fd);
                errno = error;
                return -1;
            }
            if (busy) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);  // removed by the previous holder: lock the new one
    }
    return -1;
}

void Unlock(int lock, const std::string &path) {
    if (lock < 0) return;
    unlink(path.c_str());
    close(lock);
}

int TimeLimit(const char *variable, int fallback) {
    const char *text = std::getenv(variable);
    if (text == nullptr || *text < '0' || *text > '9') return fallback;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value <= 600000 ? static_cast<int>(value) : fallback;
}

int WriteFully(int fd, const std::uint8_t *data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

namespace {

// 0 once the socket has something to read (or its end), ETIMEDOUT when the
// deadline passed first; no deadline: as long as it takes.
int AwaitInput(int fd, const Clock::time_point *deadline) {
    for (;;) {
        long long left = -1;
        if (deadline != nullptr) {
            left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return ETIMEDOUT;
        }
        pollfd ready{fd, POLLIN, 0};
        const int n = poll(&ready, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
    }
}

// Room is added in steps that grow with what has arrived: a peer that
// announces 8 MiB and sends nothing holds one step.
constexpr std::size_t kFirstStep = 64u << 10;

}  // namespace

int ReadFully(int fd, std::uint8_t *data, std::size_t size, const Clock::time_point *deadline) {
    std::size_t done = 0;
    while (done < size) {
        const int waited = deadline != nullptr ? AwaitInput(fd, deadline) : 0;
        if (waited != 0) return waited;
        const ssize_t n = recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ECONNRESET;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

bool ReadMessage(int fd, Header *header, std::vector<std::uint8_t> *payload, ReadLimits limits) {
    // The first byte: within the idle limit, or whenever it comes.
    const Clock::time_point idle = Clock::now() + std::chrono::milliseconds(std::max(limits.idleMs, 0));
    if (limits.idleMs >= 0 && AwaitInput(fd, &idle) != 0) return false;
    if (limits.idleMs < 0 && limits.messageMs >= 0 && AwaitInput(fd, nullptr) != 0) return false;
    const Clock::time_point whole = Clock::now() + std::chrono::milliseconds(std::max(limits.messageMs, 0));
    const Clock::time_point *deadline = limits.messageMs >= 0 ? &whole : nullptr;
    std::uint8_t bytes[kHeaderSize];
    if (ReadFully(fd, bytes, sizeof bytes, deadline) != 0 || !ReadHeader(bytes, header)) return false;
    const std::size_t size = header->length - kHeaderSize;
    payload->clear();
    while (payload->size() < size) {
        const std::size_t at = payload->size();
        payload->resize(at + std::min(size - at, std::max(kFirstStep, at)));
        if (ReadFully(fd, payload->data() + at, payload->size() - at, deadline) != 0) return false;
    }
    return true;
}

}  // namespace comremote
