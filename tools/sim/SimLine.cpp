#include "SimLine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

std::string Reason(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

SimLine::~SimLine() {
    Close();
}

bool SimLine::OpenPty(const std::string &link, std::string &error) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        error = Reason("openpty");
        return false;
    }
    char name[PATH_MAX];
    if (ttyname_r(slave, name, sizeof name) != 0 || !MakeRaw(slave) || !SetNonBlocking(master)) {
        error = Reason("pty setup");
        close(slave);
        close(master);
        return false;
    }
    // The slave is not kept open here: a client that sets exclusive mode
    // must be able to close and open it again.
    close(slave);
    fd_ = master;
    isPty_ = true;
    slavePath_ = name;

    if (!link.empty()) {
        struct stat st {};
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
        if (symlink(slavePath_.c_str(), link.c_str()) != 0) {
            error = Reason("link " + link);
            Close();
            return false;
        }
        link_ = link;
    }
    return true;
}

bool SimLine::OpenTty(const std::string &path, std::string &error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = Reason(path);
        return false;
    }
    if (!MakeRaw(fd)) {
        error = Reason(path + ": not a terminal");
        close(fd);
        return false;
    }
    fd_ = fd;
    slavePath_ = path;
    return true;
}

bool SimLine::WaitForInput(int timeoutMs) {
    if (slaveClosed_) {
        // Nobody has the slave open (or the line hung up) and poll would say so at once:
        // wait a little instead of spinning until a client opens it.
        slaveClosed_ = false;
        timespec pause{0, 10 * 1000 * 1000L};
        if (nanosleep(&pause, nullptr) != 0) return false;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0) return errno != EINTR;
    if (ready > 0 && (p.revents & POLLIN) == 0 && (p.revents & POLLHUP) != 0) slaveClosed_ = true;
    return true;
}

long SimLine::Read(char *buffer, std::size_t size) {
    const ssize_t n = read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    // EIO on a pty master only says that nobody has the slave open.
    if (errno == EIO && isPty_) {
        slaveClosed_ = true;
        return 0;
    }
    return -1;
}

void SimLine::Write(const std::string &text, unsigned baud) {
    using Clock = std::chrono::steady_clock;
    constexpr unsigned kBitsPerCharacter = 10;
    const Clock::time_point start = Clock::now();
    std::size_t done = 0;
    while (done < text.size()) {
        std::size_t due = text.size();
        if (baud != 0) {
            // Characters whose last bit is on the line by now; a late wake-up
            // sends the backlog at once, so the schedule never drifts.
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
            due = std::min<std::size_t>(text.size(),
                                        static_cast<std::size_t>(elapsed * baud / (1000000LL * kBitsPerCharacter)));
            if (due <= done) {
                const auto next = start + std::chrono::microseconds((done + 1) * 1000000LL * kBitsPerCharacter / baud);
                std::this_thread::sleep_until(next);
                continue;
            }
        }
        const ssize_t n = write(fd_, text.data() + done, due - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // nobody reads: the rest is lost, as on a real line
        }
    }
}

void SimLine::Linger(int maxMs) {
    if (!isPty_) {
        tcdrain(fd_);
        return;
    }
    const int stepMs = 20;
    for (int waited = 0; waited < maxMs; waited += stepMs) {
        pollfd p{fd_, 0, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0) return;
        timespec pause{0, stepMs * 1000 * 1000L};
        if (nanosleep(&pause, nullptr) != 0) return;
    }
}

void SimLine::Close() {
    if (!link_.empty()) {
        char target[PATH_MAX];
        const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
        if (n >= 0) {
            target[n] = '\0';
            if (slavePath_ == target) unlink(link_.c_str());
        }
        link_.clear();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}
