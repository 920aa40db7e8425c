#include "server_side.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

void SetReceiveTimeout(int fd, int seconds) {
    struct timeval limit {};
    limit.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool Answer(int fd, HRESULT result) {
    std::uint8_t answer[kHelloAnswerSize];
    const std::uint32_t fields[3] = {kMagic, kVersion, static_cast<std::uint32_t>(result)};
    for (int f = 0; f < 3; ++f)
        for (int k = 0; k < 4; ++k) answer[f * 4 + k] = static_cast<std::uint8_t>(fields[f] >> (8 * k));
    return WriteFully(fd, answer, sizeof answer) == 0;
}

// The hello, the check of who connects, then the client's calls until it goes.
void ServeClient(int fd, IUnknown *classObject) {
    SetReceiveTimeout(fd, kHelloSeconds);
    std::uint8_t hello[kHelloSize];
    if (ReadFully(fd, hello, sizeof hello) != 0) {
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
    if (!Answer(fd, verdict) || FAILED(verdict)) {
        close(fd);
        return;
    }
    SetReceiveTimeout(fd, 0);
    std::shared_ptr<ServerConnection> connection;
    try {
        connection = std::make_shared<ServerConnection>(fd, classObject, UserName(peer.uid));
    } catch (const std::exception &) {
        // No thread or memory left for its writer: the client sees the end,
        // the server and its other clients go on.
        close(fd);
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

void Accept(int listener, IUnknown *classObject) {
    ServerState &state = State();
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of resources for a moment: the waiting clients stay queued.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            return;  // shut down by the withdrawal
        }
        if (state.serving.load() >= kMaxConnections) {
            close(fd);
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
            close(fd);
        }
    }
}

sockaddr_un Address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// 0 when a server answers, else the error number of the attempt.
int Dial(const std::string &path) {
    // Not blocking: a stopped server's full queue answers EAGAIN (alive) at once.
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
    if (Dial(where.path) == 0) {
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

}  // namespace

HRESULT Publish(REFCLSID clsid, IUnknown *classObject, DWORD cookie) {
    ClassSocket where;
    if (!LocateClassSocket(clsid, &where)) return REGDB_E_CLASSNOTREG;
    if (where.owner != geteuid() || !PrivateFolder(where.folder, geteuid(), true)) return E_ACCESSDENIED;
    SweepDeadSockets(where.folder);
    auto publication = std::make_unique<Publication>();
    const HRESULT result = Listen(where, publication.get());
    if (FAILED(result)) return result;
    const int listener = publication->listener;
    try {
        publication->acceptor = std::thread([listener, classObject] { Accept(listener, classObject); });
    } catch (const std::system_error &) {
        // Unpublished: the registration stands for this process alone.
        unlink(publication->path.c_str());
        close(listener);
        return E_OUTOFMEMORY;
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
