#include "server_connection.h"

#include <unistd.h>

#include <vector>

#include "socket_io.h"

namespace comremote {

ServerConnection::ServerConnection(int fd, IUnknown *classObject, std::wstring user)
    : fd_(fd), classObject_(classObject), user_(std::move(user)), outbox_(std::make_shared<Outbox>(fd)) {
    classObject_->AddRef();
}

ServerConnection::~ServerConnection() {
    outbox_->Close();
    outbox_->Join();
    ReleaseAll();
    classObject_->Release();
    close(fd_);
}

void ServerConnection::Serve() {
    // A COM thread of the server: the multithreaded apartment, and every call
    // made for the client names its user.
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com_SetCallerIdentity(user_.c_str());
    Header header{};
    std::vector<std::uint8_t> payload;
    while (ReadMessage(fd_, &header, &payload) && Handle(header, payload)) {
    }
    outbox_->Close();
    outbox_->Join();
    ReleaseAll();
    com_SetCallerIdentity(nullptr);
    if (SUCCEEDED(initialized)) CoUninitialize();
}

bool ServerConnection::Handle(const Header &header, const std::vector<std::uint8_t> &payload) {
    if (header.kind == kRelease) {
        if (!payload.empty()) return false;
        Forget(header.objectId);
        if (header.callId != 0) {
            Writer done(kReply, header.callId, header.objectId);
            done.I32(S_OK);
            outbox_->Post(done.Finish(), true);
        }
        return true;
    }
    if (header.kind < kActivate || header.kind > kLastRequest || header.callId == 0) return false;
    Reader in(payload.data(), payload.size());
    Writer out(kReply, header.callId, header.objectId);
    if (!RunCall(*this, header, in, out)) return false;
    std::vector<std::uint8_t> reply = out.Finish();
    if (reply.empty()) {
        // Too much to answer in one message: the call fails instead.
        Writer refusal(kReply, header.callId, header.objectId);
        refusal.I32(E_OUTOFMEMORY);
        reply = refusal.Finish();
    }
    outbox_->Post(std::move(reply), true);
    return true;
}

std::uint32_t ServerConnection::Export(IUnknown *given) {
    // Kept by identity, so that a disconnection finds it whatever interface
    // the client was handed.
    IUnknown *object = nullptr;
    const HRESULT result = given->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&object));
    given->Release();
    if (FAILED(result) || object == nullptr) return 0;
    std::unique_lock<std::mutex> held(lock_);
    if (objects_.size() >= kMaxObjects) {
        held.unlock();
        object->Release();
        return 0;
    }
    while (nextId_ == 0 || objects_.count(nextId_) != 0) ++nextId_;
    const std::uint32_t id = nextId_++;
    objects_[id] = object;
    return id;
}

IUnknown *ServerConnection::Find(std::uint32_t id) {
    std::lock_guard<std::mutex> held(lock_);
    const auto found = objects_.find(id);
    if (found == objects_.end()) return nullptr;
    found->second->AddRef();
    return found->second;
}

void ServerConnection::Forget(std::uint32_t id) {
    IUnknown *object = nullptr;
    {
        std::lock_guard<std::mutex> held(lock_);
        const auto found = objects_.find(id);
        if (found == objects_.end()) return;
        object = found->second;
        objects_.erase(found);
    }
    object->Release();
}

std::size_t ServerConnection::Disconnect(IUnknown *identity) {
    std::vector<IUnknown *> dropped;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (auto it = objects_.begin(); it != objects_.end();) {
            if (it->second == identity) {
                dropped.push_back(it->second);
                it = objects_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Released outside the lock: a final release runs the object's own code.
    for (IUnknown *object : dropped) object->Release();
    return dropped.size();
}

void ServerConnection::ReleaseAll() {
    std::map<std::uint32_t, IUnknown *> held;
    {
        std::lock_guard<std::mutex> guard(lock_);
        held.swap(objects_);
    }
    // Newest first: a group goes before the server object that made it.
    for (auto it = held.rbegin(); it != held.rend(); ++it) it->second->Release();
}

}  // namespace comremote
