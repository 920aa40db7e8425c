#include "server_side.h"

#include <dirent.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "layer_log.h"
#include "platform/com_remote.h"
#include "server_connection.h"
#include "socket_io.h"

namespace comremote {

namespace {

struct Publication {
    IUnknown *classObject = nullptr;
    int listener = -1;
    std::string path;
    ino_t inode = 0;
    std::thread acceptor;
};

struct ServerState {
    std::mutex lock;
    std::map<DWORD, std::unique_ptr<Publication>> published;
    std::vector<std::shared_ptr<ServerConnection>> connections;
    std::atomic<int> serving{0};
};

// Never destroyed: connection threads may outlive the static objects at exit.
ServerState &State() {
    static ServerState *state = new ServerState;
    return *state;
}

std::wstring UserName(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::to_wstring(uid);
    std::wstring name;
    for (const char *c = found->pw_name; *c != '\0'; ++c) name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return name;
}

struct HelloAnswer {
    explicit HelloAnswer(HRESULT verdict) {
        const std::uint32_t fields[3] = {kMagic, kVersion, static_cast<std::uint32_t>(verdict)};
        for (int f = 0; f < 3; ++f)
            for (int k = 0; k < 4; ++k) bytes[f * 4 + k] = static_cast<std::uint8_t>(fields[f] >> (8 * k));
    }
    std::uint8_t bytes[kHelloAnswerSize];
};

bool Answer(int fd, HRESULT verdict) {
    const HelloAnswer answer(verdict);
    return WriteFully(fd, answer.bytes, sizeof answer.bytes) == 0;
}

// The hello, the check of who connects, then the client's calls until it goes.
void ServeClient(int fd, IUnknown *classObject) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ServerTimeoutMs(kHelloMs));
    std::uint8_t hello[kHelloSize];
    if (ReadFully(fd, hello, sizeof hello, &deadline) != 0) {
        close(fd);
        return;
    }
    Reader in(hello, sizeof hello);
    const std::uint32_t magic = in.U32();
    const std::uint16_t version = in.U16();
    if (magic != kMagic) {
        close(fd);
        return;
    }
    struct ucred peer {};
    socklen_t size = sizeof peer;
    HRESULT verdict = S_OK;
    if (version != kVersion)
        verdict = RPC_S_CALL_FAILED_DNE;
    else if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid())
        verdict = E_ACCESSDENIED;
    std::shared_ptr<ServerConnection> connection;
    if (SUCCEEDED(verdict)) {
        try {
            connection = std::make_shared<ServerConnection>(fd, classObject, UserName(peer.uid));
        } catch (const std::exception &) {
            // No thread or memory left for its writer: the client hears why,
            // the server and its other clients go on.
            LayerLog(UL_WARNING, "A client was refused: no memory or thread left for its connection");
            verdict = E_OUTOFMEMORY;
        }
    }
    if (!Answer(fd, verdict) || FAILED(verdict)) {
        if (connection == nullptr) close(fd);  // else closed with the connection
        return;
    }
    ServerState &state = State();
    {
        std::lock_guard<std::mutex> held(state.lock);
        state.connections.push_back(connection);
    }
    connection->Serve();
    std::lock_guard<std::mutex> held(state.lock);
    state.connections.erase(std::remove(state.connections.begin(), state.connections.end(), connection),
                            state.connections.end());
}

// Connections refused before they were served: each has its answer and is
// closed once its hello has arrived (or after a moment), so that a client
// reads the answer instead of finding its hello unwanted.
class TurnedAway {
public:
    TurnedAway() { waiting_.reserve(kMost); }
    ~TurnedAway() {
        for (const Waiting &one : waiting_) close(one.fd);
    }

    void Add(int fd, HRESULT why) {
        const HelloAnswer answer(why);
        // A new socket's buffer takes the answer at once.
        if (send(fd, answer.bytes, sizeof answer.bytes, MSG_NOSIGNAL | MSG_DONTWAIT) !=
                static_cast<ssize_t>(sizeof answer.bytes) ||
            waiting_.size() >= kMost) {
            close(fd);
            return;
        }
        waiting_.push_back(Waiting{fd, Clock::now() + std::chrono::milliseconds(kLingerMs)});
    }
    // The descriptors to watch, after the listener's.
    void Watch(std::vector<pollfd> *fds) const {
        for (const Waiting &one : waiting_) fds->push_back(pollfd{one.fd, POLLIN, 0});
    }
    // Closes those whose hello (or end) came, or whose time is up.
    void Settle(const std::vector<pollfd> &fds) {
        const Clock::time_point now = Clock::now();
        std::size_t kept = 0;
        for (std::size_t k = 0; k < waiting_.size(); ++k) {
            const bool heard = k + 1 < fds.size() && fds[k + 1].revents != 0;
            if (heard || now >= waiting_[k].until)
                close(waiting_[k].fd);
            else
                waiting_[kept++] = waiting_[k];
        }
        waiting_.resize(kept);
    }
    int PollMs() const { return waiting_.empty() ? -1 : 100; }

private:
    struct Waiting {
        int fd;
        Clock::time_point until;
    };
    static constexpr std::size_t kMost = 64;
    static constexpr int kLingerMs = 2000;
    std::vector<Waiting> waiting_;
};

void Accept(int listener, IUnknown *classObject) {
    ServerState &state = State();
    TurnedAway turned;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{listener, POLLIN, 0});
        turned.Watch(&fds);
        if (poll(fds.data(), fds.size(), turned.PollMs()) < 0 && errno != EINTR) return;
        turned.Settle(fds);
        if (fds[0].revents == 0) continue;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of resources for a moment: the waiting clients stay queued.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            return;  // shut down by the withdrawal
        }
        if (state.serving.load() >= kMaxConnections) {
            LayerLog(UL_WARNING, "A client was refused: the server is busy with %d connections, the most it serves",
                     kMaxConnections);
            turned.Add(fd, RPC_S_SERVER_TOO_BUSY);
            continue;
        }
        ++state.serving;
        classObject->AddRef();
        try {
            std::thread([fd, classObject, &state] {
                ServeClient(fd, classObject);
                classObject->Release();
                --state.serving;
            }).detach();
        } catch (const std::system_error &) {
            classObject->Release();
            --state.serving;
            LayerLog(UL_WARNING, "A client was refused: no thread left for its connection");
            turned.Add(fd, E_OUTOFMEMORY);
        }
    }
}

sockaddr_un Address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// 0 when a server answers, else the error number of the attempt: EAGAIN for
// a live server whose queue of waiting clients is full (stopped, or slow to
// accept), never a wait on it.
int Dial(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    const sockaddr_un address = Address(path);
    const int error = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
    close(fd);
    return error;
}

// Removes the sockets of this user's servers that died without withdrawing
// (killed, or ended without an orderly stop): nothing answers on them. A
// socket only ever appears under its name once it listens, and each is
// checked under its own bind lock, so a live one is never taken for dead.
void SweepDeadSockets(const std::string &folder) {
    DIR *listing = opendir(folder.c_str());
    if (listing == nullptr) return;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0) names.push_back(name);
    }
    closedir(listing);
    for (const std::string &name : names) {
        const std::string path = folder + "/" + name;
        if (Dial(path) != ECONNREFUSED) continue;
        const std::string bindLock = folder + "/" + name.substr(0, name.size() - 5) + ".bind";
        const int lock = LockFile(bindLock);
        if (lock >= 0 && Dial(path) == ECONNREFUSED) unlink(path.c_str());
        Unlock(lock, bindLock);
    }
}

HRESULT Listen(const ClassSocket &where, Publication *publication) {
    // Held while the path is checked and bound, so two servers starting at
    // once do not remove each other's socket.
    const int lock = LockFile(where.bindLock);
    if (lock < 0) return E_ACCESSDENIED;
    HRESULT result = S_OK;
    const int answered = Dial(where.path);
    if (answered == 0 || answered == EAGAIN) {
        result = CO_E_OBJISREG;  // another server of this class serves its clients
    } else {
        // Bound and made private under another name, then renamed into place
        // listening: a client never meets a socket it may not use yet.
        const std::string fresh = where.path + ".new";
        unlink(fresh.c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = Address(fresh);
        struct stat info {};
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
            chmod(fresh.c_str(), 0600) == 0 && listen(fd, 64) == 0 && rename(fresh.c_str(), where.path.c_str()) == 0 &&
            stat(where.path.c_str(), &info) == 0) {
            publication->listener = fd;
            publication->path = where.path;
            publication->inode = info.st_ino;
        } else {
            if (fd >= 0) close(fd);
            unlink(fresh.c_str());
            result = E_ACCESSDENIED;
        }
    }
    Unlock(lock, where.bindLock);
    return result;
}

// Said in the log at ERROR and on the console: the server runs, but only
// for this process.
HRESULT Unreachable(HRESULT result, const char *why, const std::string &where) {
    char text[512];
    std::snprintf(text, sizeof text, "Clients of other processes cannot reach this server: %s%s%s", why,
                  where.empty() ? "" : " ", where.c_str());
    LayerLog(UL_ERROR, "%s", text);
    std::printf("%s\n", text);
    std::fflush(stdout);
    return result;
}

}  // namespace

HRESULT Publish(REFCLSID clsid, IUnknown *classObject, DWORD cookie) {
    ClassSocket where;
    if (!LocateClassSocket(clsid, &where)) return Unreachable(REGDB_E_CLASSNOTREG, "no registry can be named", "");
    if (where.owner != geteuid())
        return Unreachable(E_ACCESSDENIED, "its registry belongs to another user:", com_RegistryRoot());
    if (!PrivateFolder(where.folder, geteuid(), true))
        return Unreachable(E_ACCESSDENIED, "its socket folder is not this user's alone:", where.folder);
    SweepDeadSockets(where.folder);
    auto publication = std::make_unique<Publication>();
    const HRESULT result = Listen(where, publication.get());
    if (result == CO_E_OBJISREG) return Unreachable(result, "another server of this class serves them at", where.path);
    if (FAILED(result)) return Unreachable(result, "its socket cannot be made:", where.path);
    const int listener = publication->listener;
    try {
        publication->acceptor = std::thread([listener, classObject] { Accept(listener, classObject); });
    } catch (const std::system_error &) {
        // Unpublished: the registration stands for this process alone.
        unlink(publication->path.c_str());
        close(listener);
        return Unreachable(E_OUTOFMEMORY, "no thread left to accept them at", where.path);
    }
    classObject->AddRef();
    publication->classObject = classObject;
    ServerState &state = State();
    std::lock_guard<std::mutex> held(state.lock);
    state.published[cookie] = std::move(publication);
    return S_OK;
}

void Withdraw(DWORD cookie) {
    ServerState &state = State();
    std::unique_ptr<Publication> publication;
    {
        std::lock_guard<std::mutex> held(state.lock);
        const auto found = state.published.find(cookie);
        if (found == state.published.end()) return;
        publication = std::move(found->second);
        state.published.erase(found);
    }
    // Only the socket this registration made: a newer server may own the path now.
    struct stat info {};
    if (stat(publication->path.c_str(), &info) == 0 && info.st_ino == publication->inode)
        unlink(publication->path.c_str());
    shutdown(publication->listener, SHUT_RDWR);
    publication->acceptor.join();
    close(publication->listener);
    publication->classObject->Release();
}

HRESULT DisconnectObject(IUnknown *object) {
    IUnknown *identity = nullptr;
    if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)))) return E_INVALIDARG;
    std::vector<std::shared_ptr<ServerConnection>> connections;
    {
        std::lock_guard<std::mutex> held(State().lock);
        connections = State().connections;
    }
    for (const auto &connection : connections) connection->Disconnect(identity);
    identity->Release();
    return S_OK;
}

}  // namespace comremote
