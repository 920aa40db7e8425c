#include "server_connection.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "layer_log.h"
#include "socket_io.h"

namespace comremote {

namespace {

// A payload kept between messages up to this size; a bigger one is given back.
constexpr std::size_t kKeptPayload = 1u << 20;

}  // namespace

int ServerTimeoutMs(int standard) {
    const char *text = std::getenv("BRISVALE_COM_SERVER_TIMEOUT_MS");
    if (text == nullptr) return standard;
    const long value = std::strtol(text, nullptr, 10);
    return value > 0 && value <= 3600000 ? static_cast<int>(value) : standard;
}

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
    const int idleMs = ServerTimeoutMs(kIdleWithoutSessionMs);
    const int messageMs = ServerTimeoutMs(kMessageMs);
    for (;;) {
        ReadLimits limits;
        limits.messageMs = messageMs;
        {
            // A client with a session may wait as long as it likes for its next call.
            std::lock_guard<std::mutex> held(lock_);
            if (sessions_.empty()) limits.idleMs = idleMs;
        }
        if (!ReadMessage(fd_, &header, &payload, limits) || !Handle(header, payload)) break;
        if (payload.capacity() > kKeptPayload) std::vector<std::uint8_t>().swap(payload);
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

std::uint32_t ServerConnection::Export(IUnknown *given, Role role, std::uint32_t session, DWORD handle) {
    // Kept by identity, so that a disconnection finds it whatever interface
    // the client was handed.
    IUnknown *object = nullptr;
    const HRESULT result = given->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&object));
    given->Release();
    if (FAILED(result) || object == nullptr) return 0;
    std::unique_lock<std::mutex> held(lock_);
    if (objects_.size() >= kMaxObjects) {
        held.unlock();
        LayerLog(UL_WARNING, "Client <%s> refused: it holds %zu objects, the most one client may",
                 Narrow(user_).c_str(), kMaxObjects);
        object->Release();
        return 0;
    }
    while (nextId_ == 0 || objects_.count(nextId_) != 0) ++nextId_;
    const std::uint32_t id = nextId_++;
    const auto use = sessions_.find(session);
    // A group counts against the session it was made on (a session always).
    if (role == Role::Group && use == sessions_.end()) role = Role::Other;
    objects_[id] = Entry{object, role, session, handle};
    if (role == Role::Session) sessions_[id];
    if (role == Role::Group) use->second.groups[handle] = GroupUse{};
    return id;
}

bool ServerConnection::AdmitSession() {
    std::unique_lock<std::mutex> held(lock_);
    const std::size_t sessions = sessions_.size();
    held.unlock();
    if (sessions < kMaxSessionsPerConnection) return true;
    LayerLog(UL_WARNING, "Client <%s> refused a session: it holds %zu, the most one connection may",
             Narrow(user_).c_str(), sessions);
    return false;
}

bool ServerConnection::AdmitGroup(std::uint32_t session) {
    std::unique_lock<std::mutex> held(lock_);
    const auto found = sessions_.find(session);
    const std::size_t groups = found != sessions_.end() ? found->second.groups.size() : 0;
    held.unlock();
    if (groups < kMaxGroupsPerSession) return true;
    LayerLog(UL_WARNING, "Client <%s> refused a group: its session holds %zu, the most one session may",
             Narrow(user_).c_str(), groups);
    return false;
}

bool ServerConnection::AdmitItems(std::uint32_t group, std::size_t count) {
    std::unique_lock<std::mutex> held(lock_);
    const GroupUse *use = UseOf(group);
    const std::size_t items = use != nullptr ? use->items : 0;
    const std::size_t all = items_;
    held.unlock();
    if (count > kMaxItemsPerGroup || items > kMaxItemsPerGroup - count) {
        LayerLog(UL_WARNING, "Client <%s> refused %zu items: its group holds %zu, the most one group may is %zu",
                 Narrow(user_).c_str(), count, items, kMaxItemsPerGroup);
        return false;
    }
    if (count > kMaxItemsPerConnection - all) {
        LayerLog(UL_WARNING,
                 "Client <%s> refused %zu items: its connection holds %zu, the most one connection may is %zu",
                 Narrow(user_).c_str(), count, all, kMaxItemsPerConnection);
        return false;
    }
    return true;
}

void ServerConnection::CountItems(std::uint32_t group, long change) {
    std::lock_guard<std::mutex> held(lock_);
    GroupUse *use = UseOf(group);
    if (use == nullptr) return;
    const std::size_t before = use->items;
    if (change >= 0)
        use->items += static_cast<std::size_t>(change);
    else
        use->items -= std::min(use->items, static_cast<std::size_t>(-change));
    items_ = items_ - before + use->items;
}

void ServerConnection::GroupRemoved(std::uint32_t session, DWORD handle) {
    std::lock_guard<std::mutex> held(lock_);
    const auto use = sessions_.find(session);
    if (use == sessions_.end()) return;
    const auto group = use->second.groups.find(handle);
    if (group == use->second.groups.end()) return;
    group->second.listed = false;
    Settle(use, handle);
}

ServerConnection::GroupUse *ServerConnection::UseOf(std::uint32_t group) {
    const auto found = objects_.find(group);
    if (found == objects_.end() || found->second.role != Role::Group) return nullptr;
    const auto use = sessions_.find(found->second.session);
    if (use == sessions_.end()) return nullptr;
    const auto counted = use->second.groups.find(found->second.handle);
    return counted != use->second.groups.end() ? &counted->second : nullptr;
}

void ServerConnection::Settle(std::map<std::uint32_t, SessionUse>::iterator session, DWORD handle) {
    auto &groups = session->second.groups;
    const auto group = groups.find(handle);
    if (group != groups.end() && !group->second.held && !group->second.listed) {
        items_ -= group->second.items;
        groups.erase(group);
    }
    // Once the client holds neither the session nor a group of it, the
    // session's end takes the groups it still listed.
    if (session->second.held) return;
    for (const auto &counted : groups)
        if (counted.second.held) return;
    for (const auto &counted : groups) items_ -= counted.second.items;
    sessions_.erase(session);
}

IUnknown *ServerConnection::Drop(std::map<std::uint32_t, Entry>::iterator entry) {
    const Entry gone = entry->second;
    const std::uint32_t id = entry->first;
    objects_.erase(entry);
    if (gone.role == Role::Other) return gone.object;
    const auto use = sessions_.find(gone.role == Role::Session ? id : gone.session);
    if (use == sessions_.end()) return gone.object;
    if (gone.role == Role::Session) use->second.held = false;
    const auto group = use->second.groups.find(gone.handle);
    if (gone.role == Role::Group && group != use->second.groups.end()) group->second.held = false;
    Settle(use, gone.handle);
    return gone.object;
}

IUnknown *ServerConnection::Find(std::uint32_t id) {
    std::lock_guard<std::mutex> held(lock_);
    const auto found = objects_.find(id);
    if (found == objects_.end()) return nullptr;
    found->second.object->AddRef();
    return found->second.object;
}

void ServerConnection::Forget(std::uint32_t id) {
    IUnknown *object = nullptr;
    {
        std::lock_guard<std::mutex> held(lock_);
        const auto found = objects_.find(id);
        if (found == objects_.end()) return;
        object = Drop(found);
    }
    object->Release();
}

std::size_t ServerConnection::Disconnect(IUnknown *identity) {
    std::vector<IUnknown *> dropped;
    {
        std::lock_guard<std::mutex> held(lock_);
        for (auto it = objects_.begin(); it != objects_.end();) {
            const auto next = std::next(it);
            if (it->second.object == identity) dropped.push_back(Drop(it));
            it = next;
        }
    }
    // Released outside the lock: a final release runs the object's own code.
    for (IUnknown *object : dropped) object->Release();
    return dropped.size();
}

void ServerConnection::ReleaseAll() {
    std::map<std::uint32_t, Entry> held;
    {
        std::lock_guard<std::mutex> guard(lock_);
        held.swap(objects_);
        sessions_.clear();
        items_ = 0;
    }
    // Newest first: a group goes before the server object that made it.
    for (auto it = held.rbegin(); it != held.rend(); ++it) it->second.object->Release();
}

}  // namespace comremote
