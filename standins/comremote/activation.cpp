#include "activation.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "client_core.h"
#include "platform/com_remote.h"
#include "proxies.h"
#include "socket_io.h"

namespace comremote {

namespace {

int ConnectMilliseconds() {
    return TimeLimit("BRISVALE_COM_CONNECT_TIMEOUT_MS", kConnectMilliseconds);
}

void SetTimeLimit(int fd, int option, int milliseconds) {
    struct timeval limit {};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
}

// S_OK with a connected socket, RPC_S_SERVER_UNAVAILABLE when nobody serves
// the class, E_ACCESSDENIED when this user may not reach it,
// RPC_S_SERVER_TOO_BUSY when its server takes no connection within the
// limit (stopped, or hung with its queue full).
HRESULT Connect(const ClassSocket &where, int *fd) {
    struct stat info {};
    if (lstat(where.folder.c_str(), &info) != 0) return RPC_S_SERVER_UNAVAILABLE;
    // A folder its user does not own alone could hold anyone's socket.
    if (!PrivateFolder(where.folder, where.owner, false)) return E_ACCESSDENIED;
    const int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketFd < 0) return errno == EMFILE || errno == ENFILE ? kTooManyFiles : E_OUTOFMEMORY;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, where.path.c_str(), sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ConnectMilliseconds());
    int error = 0;
    for (;;) {
        error = connect(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
        // A full queue of waiting connections answers at once instead of blocking.
        if (error != EAGAIN || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (error != 0) {
        close(socketFd);
        if (error == EAGAIN) return RPC_S_SERVER_TOO_BUSY;
        return error == EACCES || error == EPERM ? E_ACCESSDENIED : RPC_S_SERVER_UNAVAILABLE;
    }
    fcntl(socketFd, F_SETFL, fcntl(socketFd, F_GETFL) & ~O_NONBLOCK);
    *fd = socketFd;
    return S_OK;
}

HRESULT Hello(int fd) {
    std::uint8_t bytes[kHelloSize] = {};
    const std::uint32_t magic = kMagic;
    for (int k = 0; k < 4; ++k) bytes[k] = static_cast<std::uint8_t>(magic >> (8 * k));
    bytes[4] = static_cast<std::uint8_t>(kVersion);
    bytes[5] = static_cast<std::uint8_t>(kVersion >> 8);
    SetTimeLimit(fd, SO_SNDTIMEO, ConnectMilliseconds());
    SetTimeLimit(fd, SO_RCVTIMEO, ConnectMilliseconds());
    if (WriteFully(fd, bytes, sizeof bytes) != 0) return RPC_S_SERVER_UNAVAILABLE;
    std::uint8_t answer[kHelloAnswerSize];
    const int error = ReadFully(fd, answer, sizeof answer);
    if (error == EAGAIN || error == EWOULDBLOCK) return RPC_E_TIMEOUT;
    if (error != 0) return RPC_S_SERVER_UNAVAILABLE;
    // From here on the connection's calls have limits of their own; a write
    // that the server does not take in time ends the connection.
    SetTimeLimit(fd, SO_RCVTIMEO, 0);
    SetTimeLimit(fd, SO_SNDTIMEO, CallMilliseconds());
    Reader in(answer, sizeof answer);
    const std::uint32_t theirMagic = in.U32();
    const std::uint32_t theirVersion = in.U32();
    const HRESULT verdict = in.I32();
    if (theirMagic != kMagic || theirVersion != kVersion) return RPC_S_CALL_FAILED_DNE;
    return verdict;
}

int StartMilliseconds() {
    return TimeLimit("BRISVALE_COM_START_TIMEOUT_MS", kStartMilliseconds);
}

// What a started server needs to serve its clients, which a client may have
// lowered for itself: open files, and as much memory and as many threads as
// its user may have.
struct StartLimits {
    rlimit files{};
    rlimit others[3]{};
};
constexpr int kRaisedToHard[] = {RLIMIT_AS, RLIMIT_DATA, RLIMIT_NPROC};
constexpr rlim_t kServerFiles = 1024;

// False when the server could not have the files it needs.
bool ServerLimits(StartLimits *limits) {
    if (getrlimit(RLIMIT_NOFILE, &limits->files) != 0) return false;
    if (limits->files.rlim_cur < kServerFiles) {
        if (limits->files.rlim_max < kServerFiles) {
            if (geteuid() != 0) return false;
            limits->files.rlim_max = kServerFiles;
        }
        limits->files.rlim_cur = kServerFiles;
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (getrlimit(kRaisedToHard[k], &limits->others[k]) != 0) return false;
        limits->others[k].rlim_cur = limits->others[k].rlim_max;
    }
    return true;
}

// Starts the command line with -Embedding, as COM starts a local server: in
// a session and process group of its own, with no terminal, in its own
// folder, with limits of its own, in the client's environment.
pid_t Spawn(const std::vector<std::string> &words) {
    std::vector<char *> argv;
    for (const std::string &word : words) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const std::string folder = words[0].substr(0, std::max<std::size_t>(words[0].rfind('/'), 1));
    StartLimits limits;
    if (!ServerLimits(&limits)) return -1;
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: only async-signal-safe calls until exec.
    // The server owes nothing to the client's signal handling: a client run
    // in the background of a script ignores Ctrl-C, and one that takes its
    // signals in a thread of its own blocks them; a server that inherited
    // either could not be stopped as the user stops it.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    if (chdir(folder.c_str()) != 0 || setrlimit(RLIMIT_NOFILE, &limits.files) != 0) _exit(126);
    for (std::size_t k = 0; k < 3; ++k) setrlimit(kRaisedToHard[k], &limits.others[k]);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    close_range(3, ~0u, 0);
    execv(argv[0], argv.data());
    _exit(127);
}

// Waits for the started server's socket; fails at once when it exits first.
HRESULT AwaitServer(const ClassSocket &where, pid_t pid, int *fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StartMilliseconds());
    HRESULT result = CO_E_SERVER_EXEC_FAILURE;
    for (;;) {
        const HRESULT connected = Connect(where, fd);
        if (connected != RPC_S_SERVER_UNAVAILABLE) {
            result = connected;
            break;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return CO_E_SERVER_EXEC_FAILURE;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The server outlives this client; its exit status is collected whenever
    // it ends, so that it does not linger as a zombie of ours. Without a
    // thread to wait for it, it lingers until this client ends.
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error &) {
    }
    return result;
}

HRESULT StartAndConnect(REFCLSID clsid, const ClassSocket &where, int *fd) {
    std::string command;
    const HRESULT registered = com_LocalServerCommand(clsid, &command);
    if (FAILED(registered)) return registered;
    std::vector<std::string> words;
    // Only a whole path: a relative one would run whatever the client's
    // working folder holds under that name.
    if (!SplitCommandLine(command, &words) || words[0][0] != '/') return CO_E_SERVER_EXEC_FAILURE;
    words.push_back("-Embedding");
    // One client starts the server; the others wait for it here, then find it.
    int lock = -1;
    if (where.owner == geteuid() && PrivateFolder(where.folder, geteuid(), true)) {
        // Another client that holds the start longer than a server takes to
        // start has stopped: whatever server it started is taken, none is
        // started beside it.
        lock = LockFile(where.startLock, StartMilliseconds() + ConnectMilliseconds());
        if (lock < 0 && errno == ETIMEDOUT) {
            const HRESULT found = Connect(where, fd);
            return found == RPC_S_SERVER_UNAVAILABLE ? CO_E_SERVER_EXEC_FAILURE : found;
        }
    }
    HRESULT result = Connect(where, fd);
    if (result == RPC_S_SERVER_UNAVAILABLE) {
        const pid_t pid = Spawn(words);
        result = pid < 0 ? CO_E_SERVER_EXEC_FAILURE : AwaitServer(where, pid, fd);
    }
    Unlock(lock, where.startLock);
    return result;
}

}  // namespace

bool SplitCommandLine(const std::string &line, std::vector<std::string> *words) {
    words->clear();
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ' || line[at] == '\t') {
            ++at;
            continue;
        }
        if (line[at] == '"') {
            const std::size_t end = line.find('"', at + 1);
            if (end == std::string::npos) return false;
            words->push_back(line.substr(at + 1, end - at - 1));
            at = end + 1;
        } else {
            std::size_t end = line.find_first_of(" \t", at);
            if (end == std::string::npos) end = line.size();
            words->push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return !words->empty() && !words->front().empty();
}

HRESULT ActivateRemote(REFCLSID clsid, REFIID riid, void **object) {
    ClassSocket where;
    if (!LocateClassSocket(clsid, &where)) return REGDB_E_CLASSNOTREG;
    int fd = -1;
    HRESULT result = Connect(where, &fd);
    // A server that published before the user's runtime folder was made (at
    // the first login) serves from /tmp: it is found there, not started twice.
    ClassSocket before;
    if (result == RPC_S_SERVER_UNAVAILABLE && LocateClassSocket(clsid, &before, false) && before.path != where.path)
        result = Connect(before, &fd) == S_OK ? S_OK : result;
    if (result == RPC_S_SERVER_UNAVAILABLE) result = StartAndConnect(clsid, where, &fd);
    if (FAILED(result)) return result;
    result = Hello(fd);
    if (FAILED(result)) {
        close(fd);
        return result;
    }
    const std::shared_ptr<ClientCore> core = ClientCore::Start(fd);
    if (core == nullptr) return E_OUTOFMEMORY;
    core->Attach();  // the connection lives at least until the proxy exists
    const std::uint32_t callId = core->NextCallId();
    Writer request(kActivate, callId, 0);
    request.Guid(riid);
    std::vector<std::uint8_t> reply;
    result = core->Call(callId, request.Finish(), &reply);
    if (SUCCEEDED(result)) {
        Reader in(reply.data(), reply.size());
        result = in.I32();
        const std::uint32_t id = in.U32();
        if (!in.Done())
            result = RPC_S_CALL_FAILED;
        else if (SUCCEEDED(result))
            result = id != 0 ? NewServerProxy(core, id, riid, object) : E_UNEXPECTED;
    }
    core->Detach();
    return result;
}

}  // namespace comremote
